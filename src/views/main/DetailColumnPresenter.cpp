#include "views/main/DetailColumnPresenter.h"

#include "base/ByteCount.h"

#include <QCoreApplication>

namespace {

QString tr(const char *key)
{
    return QCoreApplication::translate("ContentView", key);
}

} // namespace

namespace DetailColumnPresenter {

DetailContent choose(std::optional<NavigationSection> section, const QSet<QString> &selectedAppIds,
                     const QList<AppItem> &apps)
{
    if (section == NavigationSection::history)
        return DetailContent::historyPlaceholder;
    if (selectedAppIds.size() == 1) {
        const QString id = *selectedAppIds.cbegin();
        const bool listed = std::any_of(apps.cbegin(), apps.cend(),
                                        [&](const AppItem &app) { return app.id() == id; });
        if (listed)
            return DetailContent::appDetail;
    }
    if (selectedAppIds.size() < 2)
        return DetailContent::storageOverview;
    return DetailContent::batchInspector;
}

StorageOverviewModel storageOverview(const QList<AppItem> &apps,
                                     const std::optional<TargetVolume> &target)
{
    StorageOverviewModel m;
    for (const AppItem &app : apps) {
        // A proxy test reads the bundle, so links are settled first.
        const bool offloaded = app.isSymlink || app.isAlias || app.isProxyBundle();
        if (offloaded) {
            m.offloadedBytes += app.totalSelectedSize();
            ++m.offloadedCount;
        } else if (!app.isProtected) {
            m.reclaimableBytes += app.totalSelectedSize();
            ++m.reclaimableCount;
        }
    }
    m.localFigure = formatFileSize(m.reclaimableBytes);
    m.localCaption = tr("%1 On Mac (Reclaimable)").arg(m.reclaimableCount);
    m.offloadedFigure = formatFileSize(m.offloadedBytes);
    m.offloadedCaption = tr("%1 Offloaded").arg(m.offloadedCount);
    m.hasTarget = target.has_value();
    if (target) {
        m.targetText = tr("Target: ") + target->name + QStringLiteral(" (") +
                       target->fileSystemDisplay() + QStringLiteral(") \u2014 ") +
                       formatFileSize(target->freeBytes) + tr(" free");
        m.targetSymbol = QStringLiteral("externaldrive.fill");
    } else {
        m.targetText = tr("No external drive selected \u2014 choose a target in the toolbar");
        m.targetSymbol = QStringLiteral("externaldrive.badge.questionmark");
    }
    return m;
}

} // namespace DetailColumnPresenter
