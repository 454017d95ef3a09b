#include "views/inspectors/BatchInspectorPresenter.h"

#include "base/ByteCount.h"
#include "views/kit/Palette.h"

namespace {

bool linked(const AppItem &app, const BatchItemFacts &facts)
{
    return app.isSymlink || app.isAlias || facts.isProxyBundle;
}

qsizetype countStatus(const QList<BatchItemFacts> &facts, AppOffloadStatus status)
{
    return std::count_if(facts.cbegin(), facts.cend(),
                         [status](const BatchItemFacts &f) { return f.status == status; });
}

} // namespace

BatchItemFacts BatchItemFacts::read(const AppItem &app)
{
    return {app.status(), app.isProxyBundle()};
}

QList<BatchItemFacts> BatchItemFacts::read(const QList<AppItem> &apps)
{
    QList<BatchItemFacts> facts;
    facts.reserve(apps.size());
    for (const AppItem &app : apps)
        facts.append(read(app));
    return facts;
}

QList<AppItem> BatchInspectorPresenter::localApps(const QList<AppItem> &apps,
                                                  const QList<BatchItemFacts> &facts)
{
    QList<AppItem> result;
    for (qsizetype i = 0; i < apps.size(); ++i) {
        if (!linked(apps.at(i), facts.at(i)) && !apps.at(i).isProtected)
            result.append(apps.at(i));
    }
    return result;
}

QList<AppItem> BatchInspectorPresenter::offloadedApps(const QList<AppItem> &apps,
                                                      const QList<BatchItemFacts> &facts)
{
    QList<AppItem> result;
    for (qsizetype i = 0; i < apps.size(); ++i) {
        if (linked(apps.at(i), facts.at(i)))
            result.append(apps.at(i));
    }
    return result;
}

QList<AppItem> BatchInspectorPresenter::nestedApps(const QList<AppItem> &apps)
{
    QList<AppItem> result;
    for (const AppItem &app : apps) {
        if (!app.isRootApplicationsFolder())
            result.append(app);
    }
    return result;
}

qsizetype BatchInspectorPresenter::redundantAliasCount(const QList<AppItem> &apps)
{
    qsizetype total = 0;
    for (const AppItem &app : apps)
        total += app.duplicateAliasPaths.size();
    return total;
}

BatchInspectorModel BatchInspectorPresenter::present(const QList<AppItem> &apps,
                                                     const QList<BatchItemFacts> &facts,
                                                     const std::optional<TargetVolume> &target)
{
    Q_ASSERT(apps.size() == facts.size());
    BatchInspectorModel m;
    m.title = QString::number(apps.size()) + QStringLiteral(" Applications Selected");
    qint64 total = 0;
    for (const AppItem &app : apps)
        total += app.totalSelectedSize();
    m.totalSpace = QStringLiteral("Total Space: ") + formatFileSize(total);

    const qsizetype aliases = redundantAliasCount(apps);
    const QList<BatchInspectorModel::Chip> chips = {
        {QStringLiteral("On Mac"), countStatus(facts, AppOffloadStatus::local), Palette::blue()},
        {QStringLiteral("Offloaded"), countStatus(facts, AppOffloadStatus::offloaded),
         Palette::green()},
        {QStringLiteral("Copied"), countStatus(facts, AppOffloadStatus::copied), Palette::teal()},
        {QStringLiteral("Redundant Aliases"), aliases, Palette::orange()},
    };
    for (const BatchInspectorModel::Chip &chip : chips) {
        if (chip.count > 0)
            m.chips.append(chip);
    }

    for (qsizetype i = 0; i < apps.size(); ++i) {
        const AppItem &app = apps.at(i);
        // The colour follows the three link flags, not the status.
        m.rows.append({app.id(), app.name, label(facts.at(i).status),
                       linked(app, facts.at(i)) ? Palette::green() : Palette::blue(),
                       formatFileSize(app.totalSelectedSize())});
    }

    const qsizetype offloaded = offloadedApps(apps, facts).size();
    const qsizetype local = localApps(apps, facts).size();
    const qsizetype nested = nestedApps(apps).size();
    if (offloaded > 0) {
        m.restoreButton = QStringLiteral("Restore ") + QString::number(offloaded) +
                          QStringLiteral(" Offloaded App(s) to Mac");
        m.makeVisibleButton = QStringLiteral("Make ") + QString::number(offloaded) +
                              QStringLiteral(" Offloaded App(s) Visible in Apps.app");
    }
    if (local > 0) {
        BatchInspectorModel::OffloadBlock block;
        block.offloadText =
            QStringLiteral("Offload ") + QString::number(local) + QStringLiteral(" App(s)");
        block.enabled = target.has_value();
        if (target) {
            block.destination = QStringLiteral("Destination: ") + target->name +
                                QStringLiteral(" (") + formatFileSize(target->freeBytes) +
                                QStringLiteral(" available)");
            block.destinationColor = Palette::secondaryText();
        } else {
            block.destination =
                QStringLiteral("Please select a target external volume in the toolbar.");
            block.destinationColor = Palette::red();
        }
        m.offload = block;
    }
    if (nested > 0)
        m.promoteButton = QStringLiteral("Promote ") + QString::number(nested) +
                          QStringLiteral(" Nested App(s) to /Applications");
    if (aliases > 0)
        m.cleanAliasesButton = QStringLiteral("Clean ") + QString::number(aliases) +
                               QStringLiteral(" Redundant Duplicate Aliases");
    return m;
}
