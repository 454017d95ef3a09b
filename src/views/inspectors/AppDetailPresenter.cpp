#include "views/inspectors/AppDetailPresenter.h"

#include "base/ByteCount.h"
#include "base/PathUtils.h"
#include "platform/System.h"
#include "transfer/OffloadEngine.h"
#include "views/kit/Controls.h"
#include "views/kit/Palette.h"

#include <QRegularExpression>
#include <limits>

namespace {

using Model = AppDetailModel;

const QString calculating = QStringLiteral("Calculating\u2026");
const QString unknown = QStringLiteral("Unknown");

// Sums that cannot overflow: real byte counts never come near the limit, and a clamped
// figure still refuses the transfer.
qint64 saturatedAdd(qint64 a, qint64 b)
{
    qint64 sum = 0;
    if (qAddOverflow(a, b, &sum))
        return std::numeric_limits<qint64>::max();
    return sum;
}

qint64 selectedSupportSize(const AppItem &app)
{
    qint64 total = 0;
    for (const SupportFolder &folder : app.supportFolders) {
        if (folder.isSelected)
            total = saturatedAdd(total, folder.size);
    }
    return total;
}

qint64 requiredBytes(const AppItem &app)
{
    return saturatedAdd(saturatedAdd(app.size, selectedSupportSize(app)),
                        OffloadEngine::safetyBufferBytes);
}

Model::Badge statusBadge(AppOffloadStatus status)
{
    QString text;
    switch (status) {
    case AppOffloadStatus::proxy:
        text = QStringLiteral("App Proxy (Launcher Bridge)");
        break;
    case AppOffloadStatus::copied:
        text = QStringLiteral("Copied (Backup)");
        break;
    default:
        text = label(status);
        break;
    }
    return {text, Palette::statusColor(status), Palette::statusFillOpacity(status)};
}

Model::Header header(const AppItem &app, const AppDetailFacts &facts, bool linked)
{
    Model::Header h;
    h.iconPath = app.id();
    h.showLinkBadge = linked;
    h.name = app.name;
    h.status = statusBadge(facts.status);
    h.identifier = app.bundleIdentifier;
    if (app.version)
        h.versionLine = QStringLiteral("Version ") + *app.version;
    h.showDriveRows = linked && app.symlinkTarget.has_value();
    h.localPath = app.id();
    if (h.showDriveRows) {
        h.driveSymbolColor = facts.isProxyBundle ? Palette::purple() : Palette::green();
        h.drivePath = *app.symlinkTarget;
        h.localSymbol =
            facts.isProxyBundle ? QStringLiteral("sparkles.tv") : QStringLiteral("link");
        h.localLabel = facts.isProxyBundle ? QStringLiteral("Local Launcher:")
                                           : QStringLiteral("Local Alias:");
    }
    return h;
}

std::optional<Model::Promotion> promotion(const AppDetailFacts &facts,
                                          const AppDetailPaneState &state)
{
    if (facts.isRootApplicationsFolder || !facts.subfolderPath)
        return std::nullopt;
    Model::Promotion p;
    p.title = QStringLiteral("Stored in Subfolder: ") + *facts.subfolderPath;
    p.rootCopyExists = facts.rootCopyExists;
    p.buttonEnabled = !state.isGeneratingProxy;
    p.explanation =
        facts.rootCopyExists
            ? QStringLiteral("Another copy of '") + facts.cleanName +
                  QStringLiteral("' is already installed directly at `/Applications/") +
                  facts.cleanName +
                  QStringLiteral(".app`. Promoting this nested subfolder copy is disabled to "
                                 "prevent overwriting your existing root installation.")
            : QStringLiteral("This app is located in a nested folder. Promoting will create an "
                             "application proxy bundle directly in `/Applications`, making it "
                             "instantly visible in the macOS Apps launcher and Spotlight "
                             "without moving your files.");
    if (state.proxyNotice) {
        const QString &text = *state.proxyNotice;
        const bool warning =
            text.contains(QLatin1String("error")) || text.contains(QLatin1String("Cannot"));
        p.notice = Model::Notice{text, warning ? Palette::orange() : Controls::accent()};
    }
    return p;
}

std::optional<Model::ProxySection> proxySection(const AppDetailFacts &facts,
                                                const AppDetailPaneState &state, bool linked)
{
    if (!linked)
        return std::nullopt;
    Model::ProxySection p;
    if (facts.isProxyBundle) {
        p.title = QStringLiteral("Visible in macOS Apps.app (Proxy Active)");
        p.buttonText = QStringLiteral("Refresh Proxy");
        p.explanation = QStringLiteral("This app has an active proxy bundle in /Applications. It "
                                       "is indexed by macOS Apps.app, Spotlight, and "
                                       "LaunchServices.");
    } else {
        p.title = QStringLiteral("Make Visible in macOS Apps.app");
        p.buttonText = QStringLiteral("Create Proxy Bundle");
        p.explanation = QStringLiteral("Raw Finder aliases are ignored by macOS Apps.app. "
                                       "Creating an App Proxy (~30 KB) allows macOS Apps.app, "
                                       "Spotlight, and Dock to launch this offloaded app "
                                       "natively.");
    }
    p.buttonEnabled = !state.isGeneratingProxy;
    if (state.proxyNotice)
        p.notice = Model::Notice{*state.proxyNotice, Palette::purple()};
    return p;
}

QList<Model::FolderRow> folderRows(const AppItem &app, bool linked)
{
    QList<Model::FolderRow> rows;
    for (const SupportFolder &folder : app.supportFolders) {
        QString size = formatFileSize(folder.size);
        if (folder.isOffloaded())
            size += QStringLiteral(" (Offloaded)");
        rows.append({folder.id(), folder.displayName, size, folder.isSelected, !linked});
    }
    return rows;
}

// Names the folders that share one place on the drive, the first group only.
std::optional<QString> sharedNameNote(const AppItem &app)
{
    for (qsizetype i = 0; i < app.supportFolders.size(); ++i) {
        QStringList sharing{app.supportFolders.at(i).displayName};
        for (qsizetype j = i + 1; j < app.supportFolders.size(); ++j) {
            if (app.supportFolders.at(j).driveName() == app.supportFolders.at(i).driveName())
                sharing.append(app.supportFolders.at(j).displayName);
        }
        if (sharing.size() > 1)
            return QStringLiteral("Only one of ") + sharing.join(QStringLiteral(" and ")) +
                   QStringLiteral(" can be moved at a time: they share a name, and both would be "
                                  "stored at the same place on the drive.");
    }
    return std::nullopt;
}

QList<Model::StorageRow> storageRows(const AppItem &app, const std::optional<TargetVolume> &volume,
                                     bool linked, bool enoughSpace)
{
    using Style = Model::RowStyle;
    QList<Model::StorageRow> rows;
    QString bundle = calculating;
    if (app.size != 0)
        bundle = formatFileSize(app.size) + (linked ? QStringLiteral(" (Offloaded)") : QString());
    rows.append(
        {false,
         linked ? QStringLiteral("App Bundle (On Drive):") : QStringLiteral("Application Bundle:"),
         bundle,
         Style::plain,
         {}});
    if (!app.supportFolders.isEmpty())
        rows.append({false,
                     QStringLiteral("Selected Support Data:"),
                     formatFileSize(selectedSupportSize(app)),
                     Style::plain,
                     {}});
    const Model::StorageRow divider{true, {}, {}, Style::plain, {}};
    if (linked) {
        rows.append(divider);
        const qint64 reclaimed = saturatedAdd(app.size, selectedSupportSize(app));
        rows.append({false, QStringLiteral("Space Reclaimed on Mac:"),
                     reclaimed == 0 ? calculating : formatFileSize(reclaimed), Style::reclaimed,
                     Palette::green()});
        return rows;
    }
    rows.append({false,
                 QStringLiteral("Safety Buffer:"),
                 formatFileSize(OffloadEngine::safetyBufferBytes),
                 Style::secondary,
                 {}});
    rows.append(divider);
    rows.append({false,
                 QStringLiteral("Total Required on Drive:"),
                 formatFileSize(requiredBytes(app)),
                 Style::total,
                 {}});
    if (volume)
        rows.append({false, QStringLiteral("Available on '") + volume->name + QStringLiteral("':"),
                     formatFileSize(volume->freeBytes), Style::plain,
                     enoughSpace ? Palette::green() : Palette::red()});
    return rows;
}

Model::MainAction mainAction(const AppItem &app, const AppDetailFacts &facts,
                             const std::optional<TargetVolume> &volume, bool isCopyOnly,
                             bool linked, bool enoughSpace)
{
    using Kind = Model::MainActionKind;
    // Every transfer needs a drive that can hold applications and room on it.
    const bool driveRefuses = !enoughSpace || !volume || !volume->isCompatible();
    const QString drive = volume ? volume->name : QStringLiteral("External Drive");
    if (facts.status == AppOffloadStatus::needsReoffload)
        return {Kind::reoffload, QStringLiteral("Re-Offload Update (Retaining Settings)"),
                QStringLiteral("arrow.right.circle.fill"), Palette::red(),
                !(app.isRunning || driveRefuses)};
    if (facts.status == AppOffloadStatus::backupOutOfSync)
        return {Kind::updateBackup, QStringLiteral("Update Backup on Drive"),
                QStringLiteral("arrow.triangle.2.circlepath"), Palette::orange(), !driveRefuses};
    if (!linked && isCopyOnly)
        return {Kind::copy, QStringLiteral("Copy to ") + drive, QStringLiteral("doc.on.doc.fill"),
                QColor(), !(app.isProtected || driveRefuses)};
    if (!linked)
        return {Kind::offload, QStringLiteral("Offload to ") + drive,
                QStringLiteral("arrow.right.circle.fill"), QColor(),
                !(app.isProtected || app.isRunning || driveRefuses)};
    // An application running from the drive cannot be restored (its copy would go): the pane
    // says so in its running notice, and the button agrees.
    return {Kind::restore, QStringLiteral("Restore to Mac"),
            QStringLiteral("arrow.uturn.backward.circle.fill"), QColor(), !app.isRunning};
}

} // namespace

bool AppDetailPresenter::hasEnoughSpace(const AppItem &app,
                                        const std::optional<TargetVolume> &volume)
{
    return volume && volume->freeBytes >= requiredBytes(app);
}

QString AppDetailPresenter::cleanName(const QString &name)
{
    static const QRegularExpression tags(QStringLiteral(R"( \[[^\]]+\])"));
    QString clean = name;
    clean.remove(tags);
    return clean;
}

bool AppDetailPresenter::isLinked(const AppItem &app, bool isProxyBundle)
{
    return app.isSymlink || app.isAlias || isProxyBundle;
}

AppDetailFacts AppDetailFacts::read(const AppItem &app)
{
    AppDetailFacts facts;
    facts.status = app.status();
    facts.isProxyBundle = app.isProxyBundle();
    facts.isRootApplicationsFolder = app.isRootApplicationsFolder();
    facts.subfolderPath = app.subfolderPath();
    facts.driveCopyExists =
        app.symlinkTarget && PathUtils::existsFollowingLinks(*app.symlinkTarget);
    facts.cleanName = AppDetailPresenter::cleanName(app.name);
    // The same file name the promotion gives the proxy ("/" is shown for ":").
    QString fileName = facts.cleanName;
    fileName.replace(QLatin1Char('/'), QLatin1Char(':'));
    const QString rootPath = System::current().paths().applications + QLatin1Char('/') + fileName +
                             QStringLiteral(".app");
    facts.rootCopyExists = rootPath != app.id() && PathUtils::existsFollowingLinks(rootPath);
    return facts;
}

AppDetailModel AppDetailPresenter::present(const AppItem &app, const AppDetailFacts &facts,
                                           const std::optional<TargetVolume> &volume,
                                           const AppDetailPaneState &state)
{
    const bool linked = isLinked(app, facts.isProxyBundle);
    const bool enoughSpace = hasEnoughSpace(app, volume);
    AppDetailModel m;
    m.hasEnoughSpace = enoughSpace;
    m.header = header(app, facts, linked);

    if (facts.status == AppOffloadStatus::needsReoffload)
        m.updateReplaced = Model::UpdateReplacedBanner{
            QStringLiteral("An automatic update or installer installed a full copy on your Mac "
                           "(consuming ") +
                app.sizeFormatted() +
                QStringLiteral("). Your settings and Application Support data remain safely "
                               "preserved on your external drive."),
            app.version.value_or(unknown), app.externalVersion};
    if (facts.status == AppOffloadStatus::backupOutOfSync)
        m.outOfSync = Model::OutOfSyncBanner{app.version.value_or(unknown),
                                             app.externalVersion.value_or(unknown)};
    if (!app.duplicateAliasPaths.isEmpty())
        m.redundantAliases = Model::RedundantAliases{
            QStringLiteral("Redundant Aliases Detected (") +
                QString::number(app.duplicateAliasPaths.size()) + QLatin1Char(')'),
            app.duplicateAliasPaths};

    m.promotion = promotion(facts, state);
    m.proxy = proxySection(facts, state, linked);
    if (!linked)
        m.modePicker = Model::ModePicker{
            state.isCopyOnly,
            state.isCopyOnly
                ? QStringLiteral("Duplicates the app and selected support data to your external "
                                 "drive for backup. Keeps your original app on Mac untouched (no "
                                 "deletions or aliases).")
                : QStringLiteral("Moves the app and selected support data to your external "
                                 "drive, replaces the app with a native macOS Finder Alias in "
                                 "/Applications, and frees up space on your Mac.")};

    if (app.isProtected) {
        m.statusNotice = Model::StatusNotice::protected_;
        m.protectedReason = app.protectedReason.value_or(
            QStringLiteral("System policy prevents offloading this app."));
    } else if (app.isRunning) {
        m.statusNotice = Model::StatusNotice::running;
        m.runningLine =
            QStringLiteral("Quit ") + app.name + QStringLiteral(" before starting migration.");
    }
    m.terminate = state.isAwaitingQuit
                      ? Model::Terminate{QStringLiteral("Waiting for App to Quit\u2026"), false}
                      : Model::Terminate{QStringLiteral("Terminate App"), true};

    if (!app.supportFolders.isEmpty()) {
        m.supportFolders = folderRows(app, linked);
        if (!linked)
            m.sharedNameNote = sharedNameNote(app);
    }
    m.storage = storageRows(app, volume, linked, enoughSpace);
    if (volume && !volume->isCompatible())
        m.incompatible = Model::Incompatible{
            QStringLiteral("Incompatible Target Drive Format (") + volume->fileSystemDisplay() +
                QLatin1Char(')'),
            volume->incompatibilityReason().value_or(
                QStringLiteral("This filesystem does not support macOS application bundles."))};

    if (linked && app.symlinkTarget && facts.driveCopyExists)
        m.revealOnDrivePath = *app.symlinkTarget;
    m.mainAction = mainAction(app, facts, volume, state.isCopyOnly, linked, enoughSpace);
    return m;
}

QString AppDetailPresenter::promotionSuccessNotice()
{
    return QStringLiteral("Successfully promoted to /Applications! Now visible in macOS Apps.app.");
}

QString AppDetailPresenter::proxySuccessNotice()
{
    return QStringLiteral("Proxy bundle active in /Applications! Visible in macOS Apps.app.");
}

QString AppDetailPresenter::promotionFailureNotice(const QString &reason)
{
    return QStringLiteral("Promotion error: ") + reason;
}

QString AppDetailPresenter::proxyFailureNotice(const QString &reason)
{
    return QStringLiteral("Proxy creation error: ") + reason;
}
