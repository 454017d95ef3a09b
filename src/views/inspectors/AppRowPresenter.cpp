#include "views/inspectors/AppRowPresenter.h"

#include "base/ByteCount.h"
#include "base/PathUtils.h"
#include "views/kit/Controls.h"
#include "views/kit/Palette.h"

AppRowFacts AppRowFacts::read(const AppItem &app)
{
    AppRowFacts facts;
    facts.status = app.status();
    facts.isProxyBundle = app.isProxyBundle();
    facts.topSubfolderName = app.topSubfolderName();
    facts.driveCopyExists =
        app.symlinkTarget && PathUtils::existsFollowingLinks(*app.symlinkTarget);
    return facts;
}

AppRowModel::Badge AppRowPresenter::statusPill(AppOffloadStatus status)
{
    QString text = label(status);
    if (status == AppOffloadStatus::backupOutOfSync)
        text = QStringLiteral("Out-of-Sync");
    else if (status == AppOffloadStatus::needsReoffload)
        text = QStringLiteral("Replaced Offload");
    return {text, Palette::statusColor(status), Palette::statusFillOpacity(status), 10, true};
}

AppRowModel AppRowPresenter::present(const AppItem &app, const AppRowFacts &facts, bool isSelected,
                                     bool hasToggle)
{
    const bool linked = app.isSymlink || app.isAlias || facts.isProxyBundle;
    AppRowModel m;
    m.showSelectionControl = hasToggle;
    m.selectionSymbol =
        isSelected ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("circle");
    m.selectionColor =
        isSelected ? Controls::accent() : Palette::withOpacity(Palette::secondaryText(), 0.6);
    m.iconPath = app.id();
    m.showLinkBadge = linked;
    m.name = app.name;

    using Badge = AppRowModel::Badge;
    if (app.isRunning)
        m.badges.append(Badge{QStringLiteral("RUNNING"), Palette::purple(), 0.15, 9, true});
    if (!app.duplicateAliasPaths.isEmpty())
        m.badges.append(
            Badge{QString::number(app.duplicateAliasPaths.size() + 1) + QStringLiteral(" Aliases"),
                  Palette::orange(), 0.18, 9, true});
    if (facts.isProxyBundle)
        m.badges.append(Badge{QStringLiteral("PROXY"), Palette::purple(), 0.18, 8, true});
    if (facts.status == AppOffloadStatus::needsReoffload)
        m.badges.append(Badge{QStringLiteral("UPDATE REPLACED"), Palette::red(), 0.18, 8, true});
    if (facts.status == AppOffloadStatus::backupOutOfSync)
        m.badges.append(Badge{QStringLiteral("OUT OF SYNC"), Palette::orange(), 0.18, 8, true});
    if (facts.topSubfolderName)
        m.badges.append(Badge{*facts.topSubfolderName, Palette::secondaryText(), 0.12, 9, false});

    if (facts.status == AppOffloadStatus::backupOutOfSync && app.externalVersion) {
        m.detailKind = AppRowModel::DetailKind::versions;
        // Shortened, each version gives way and "vs Drive" stays.
        m.detailParts = {{QStringLiteral("Mac: v"), false},
                         {app.version.value_or(QStringLiteral("?")), true},
                         {QStringLiteral(" vs Drive: v"), false},
                         {*app.externalVersion, true}};
        m.detailText = TextParts::joined(m.detailParts);
    } else if (linked && app.symlinkTarget) {
        m.detailKind = AppRowModel::DetailKind::drive;
        m.detailText = *app.symlinkTarget;
        m.driveSymbolColor = facts.isProxyBundle ? Palette::purple() : Palette::green();
    } else {
        m.detailKind = AppRowModel::DetailKind::path;
        m.detailText = app.id();
    }

    m.statusPill = statusPill(facts.status);
    const qint64 total = app.totalSelectedSize();
    m.sizeText = total == 0 ? QStringLiteral("Calculating\u2026") : formatFileSize(total);
    if (!app.supportFolders.isEmpty())
        m.supportFolderCount =
            QString::number(app.supportFolders.size()) + QStringLiteral(" support folder(s)");
    if (linked && app.symlinkTarget && facts.driveCopyExists)
        m.revealOnDrivePath = *app.symlinkTarget;
    return m;
}
