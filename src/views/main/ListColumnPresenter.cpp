#include "views/main/ListColumnPresenter.h"

#include "views/main/AppListFilter.h"

#include "base/ByteCount.h"
#include "views/kit/Palette.h"

#include <QCoreApplication>
#include <cmath>

namespace {

QString tr(const char *key)
{
    return QCoreApplication::translate("ContentView", key);
}

// The platform's indigo.
QColor indigo()
{
    return QColor(0x58, 0x56, 0xD6);
}

template<typename E>
QList<MenuChoice> choices(E current)
{
    QList<MenuChoice> items;
    const QList<E> cases = allCases<E>();
    for (const E value : cases)
        items.append({label(value), value == current});
    return items;
}

} // namespace

namespace ListColumnPresenter {

ContentColumn contentColumn(std::optional<NavigationSection> section)
{
    if (section == NavigationSection::offloaded)
        return ContentColumn::offloadedList;
    if (section == NavigationSection::history)
        return ContentColumn::history;
    return ContentColumn::appList;
}

QList<StatusChip> statusChips(const QList<AppItem> &sectionApps, AppStatusFilter current)
{
    const QList<AppStatusFilter> filters = allCases<AppStatusFilter>();
    QList<StatusChip> chips;
    for (const AppStatusFilter filter : filters)
        chips.append({filter, label(filter), 0, filter == current});
    for (const AppItem &app : sectionApps) {
        const AppOffloadStatus status = app.status();
        for (StatusChip &chip : chips) {
            if (AppList::matchesStatusFilter(chip.filter, app, status))
                ++chip.count;
        }
    }
    return chips;
}

QString selectAllTitle(qsizetype selected, qsizetype listed)
{
    return selected == listed && listed != 0 ? tr("Deselect All") : tr("Select All");
}

ListHeaderModel header(qsizetype selected, qsizetype listed, AppSizeFilter size,
                       const QStringList &subfolders, const QString &selectedSubfolder,
                       AppSortOrder sort)
{
    ListHeaderModel m;
    m.selectAllTitle = selectAllTitle(selected, listed);
    m.countText = tr("%1 apps").arg(listed);
    m.sizeTitle = label(size);
    m.showsSubfolderMenu = !subfolders.isEmpty();
    m.subfolderTitle =
        selectedSubfolder == QLatin1String("All") ? tr("Subfolders") : selectedSubfolder;
    m.sortTitle = label(sort);
    return m;
}

QList<MenuChoice> sizeMenu(AppSizeFilter current)
{
    return choices(current);
}

QList<MenuChoice> subfolderMenu(const QStringList &subfolders, const QString &selectedSubfolder)
{
    QList<MenuChoice> items{{tr("All Subfolders"), selectedSubfolder == QLatin1String("All")},
                            {QString(), false}};
    for (const QString &name : subfolders)
        items.append({name, name == selectedSubfolder});
    return items;
}

QList<MenuChoice> sortMenu(AppSortOrder current)
{
    return choices(current);
}

std::optional<QString> selectionBarText(qsizetype selected, qsizetype listed, qint64 selectedBytes)
{
    if (selected == 0)
        return std::nullopt;
    return tr("%1 of %2 apps selected (%3)")
        .arg(QString::number(selected), QString::number(listed), formatFileSize(selectedBytes));
}

QList<BannerModel> banners(const BannerInputs &in)
{
    QList<BannerModel> shown;
    if (in.totalDuplicateAliases >= 1 && in.section != NavigationSection::duplicates) {
        shown.append(
            {BannerKind::duplicateAliases,
             QStringLiteral("exclamationmark.triangle.fill"),
             Palette::orange(),
             tr("%1 redundant duplicate aliases detected").arg(in.totalDuplicateAliases),
             Palette::withOpacity(Palette::orange(), 0.1),
             4,
             {{tr("Clean Duplicates"), QStringLiteral("cleanDuplicatesButton"), false, true, {}}}});
    }
    if (in.needsReoffload > 0) {
        shown.append({BannerKind::reoffload,
                      QStringLiteral("arrow.triangle.2.circlepath.circle.fill"),
                      Palette::blue(),
                      tr("%1 offloaded app(s) were updated locally and replaced their proxies")
                          .arg(in.needsReoffload),
                      Palette::withOpacity(Palette::blue(), 0.1),
                      5,
                      {{tr("Re-offload Updated"),
                        QStringLiteral("reoffloadUpdatedButton"),
                        true,
                        true,
                        {}}}});
    }
    if (in.outOfSyncBackups > 0) {
        shown.append(
            {BannerKind::backupUpdate,
             QStringLiteral("arrow.clockwise.circle.fill"),
             indigo(),
             tr("%1 backed-up app(s) have newer local versions").arg(in.outOfSyncBackups),
             Palette::withOpacity(indigo(), 0.08),
             4,
             {{tr("Update Backups"), QStringLiteral("updateBackupsButton"), false, true, {}}}});
    }
    if (in.redundantLocalCopies > 0) {
        shown.append({BannerKind::redundantCopies,
                      QStringLiteral("square.on.square.badge.person.crop.fill"),
                      Palette::purple(),
                      tr("%1 redundant local copy(s) of already-offloaded apps (%2)")
                          .arg(QString::number(in.redundantLocalCopies),
                               formatFileSize(in.redundantCopiesBytes)),
                      Palette::withOpacity(Palette::purple(), 0.09),
                      5,
                      {{tr("Review & Clean\u2026"), QStringLiteral("reviewCopiesButton"), true,
                        true, Palette::purple()}}});
    }
    if (in.orphanedItems > 0 && !in.isOffloading && !in.isRestoring) {
        shown.append(
            {BannerKind::stagingLeftovers,
             QStringLiteral("trash.circle.fill"),
             Palette::secondaryText(),
             tr("Found %1 leftover staging/rollback item(s) (%2)")
                 .arg(QString::number(in.orphanedItems), formatFileSize(in.orphanedStagingBytes)),
             Palette::withOpacity(Palette::secondaryText(), 0.08),
             4,
             {{tr("Reveal"), QStringLiteral("revealLeftoversButton"), false, true, {}},
              {tr("Clean Up"),
               QStringLiteral("cleanUpLeftoversButton"),
               false,
               !in.isCleaning,
               {}}}});
    }
    return shown;
}

ScanAreaModel scanArea(bool isScanning, bool hasApps, bool hasListedApps, double scanProgress)
{
    ScanAreaModel m;
    m.showsProgressStrip = isScanning && hasApps;
    if (isScanning && !hasApps)
        m.mainArea = ListArea::scanningPlaceholder;
    else
        m.mainArea = hasListedApps ? ListArea::list : ListArea::emptyState;
    if (m.showsProgressStrip)
        m.percentText = percentText(scanProgress);
    return m;
}

QString percentText(double scanProgress)
{
    // std::round takes halves away from zero.
    return QString::number(qint64(std::round(scanProgress * 100.0))) + QLatin1Char('%');
}

} // namespace ListColumnPresenter
