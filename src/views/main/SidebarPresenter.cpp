#include "views/main/SidebarPresenter.h"

#include "views/kit/Palette.h"

namespace SidebarPresenter {

SectionBadge badge(NavigationSection section, int count)
{
    const QString text = QString::number(count);
    const auto pill = [&](const QColor &color, qreal opacity) {
        return count == 0 ? SectionBadge{}
                          : SectionBadge{SectionBadge::Look::pill, text, color, opacity};
    };
    switch (section) {
    case NavigationSection::allApps:
    case NavigationSection::mainFolder:
    case NavigationSection::nestedApps:
        return {SectionBadge::Look::plain, text, {}, 0};
    case NavigationSection::offloaded:
        return pill(Palette::green(), 0.15);
    case NavigationSection::copied:
        return pill(Palette::teal(), 0.15);
    case NavigationSection::duplicates:
        return pill(Palette::orange(), 0.18);
    case NavigationSection::history:
        return count == 0 ? SectionBadge{} : SectionBadge{SectionBadge::Look::plain, text, {}, 0};
    }
    Q_UNREACHABLE();
}

QList<SidebarRow> rows(const std::function<int(NavigationSection)> &countOf)
{
    QList<SidebarRow> result;
    const QList<NavigationSection> sections = allCases<NavigationSection>();
    for (const NavigationSection section : sections)
        result.append(
            {section, label(section), iconName(section), badge(section, countOf(section))});
    return result;
}

} // namespace SidebarPresenter
