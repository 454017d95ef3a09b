#pragma once

#include "views/main/ListVocabulary.h"

#include <QColor>
#include <QList>
#include <QString>
#include <functional>

// The number at the end of a sidebar row: plain for the three folder sections and the
// history, a tinted pill for the sections that ask for attention, nothing for a zero there.
struct SectionBadge
{
    enum class Look {
        hidden,
        plain, // secondary colour, no background
        pill,  // `color` on `color` at `fillOpacity`
    };

    Look look = Look::hidden;
    QString text;
    QColor color;
    qreal fillOpacity = 0;

    friend bool operator==(const SectionBadge &, const SectionBadge &) = default;
};

struct SidebarRow
{
    NavigationSection section;
    QString title;
    QString symbol;
    SectionBadge badge;
};

namespace SidebarPresenter {

[[nodiscard]] SectionBadge badge(NavigationSection section, int count);
// The seven sections in order, each with the count `countOf` gives.
[[nodiscard]] QList<SidebarRow> rows(const std::function<int(NavigationSection)> &countOf);

} // namespace SidebarPresenter
