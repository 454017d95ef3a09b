#pragma once

#include "model/AppItem.h"
#include "model/TargetVolume.h"

#include <QColor>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// What the detail pane learns from the disk and the platform on each redraw. read() asks;
// tests fill it in by hand.
struct AppDetailFacts
{
    AppOffloadStatus status = AppOffloadStatus::local;
    bool isProxyBundle = false;
    bool isRootApplicationsFolder = false; // the containing folder is /Applications itself
    std::optional<QString> subfolderPath;
    bool driveCopyExists = false; // something exists at symlinkTarget
    QString cleanName;            // the name without its bracket tags
    bool rootCopyExists = false;  // another item stands where promotion would put the proxy

    [[nodiscard]] static AppDetailFacts read(const AppItem &app);
};

// The pane's own small state, which lives as long as the pane is shown.
struct AppDetailPaneState
{
    bool isCopyOnly = false;
    std::optional<QString> proxyNotice;
    bool isGeneratingProxy = false;
    // "Terminate App" was pressed and the pane waits for the application to go.
    bool isAwaitingQuit = false;
};

// Everything the pane shows, decided without a display. An invalid colour means the
// default text colour.
struct AppDetailModel
{
    struct Badge
    {
        QString text;
        QColor color;
        qreal fillOpacity = 0.12;
    };
    struct Notice
    {
        QString text;
        QColor color;
    };
    struct Header
    {
        QString iconPath;
        bool showLinkBadge = false;
        QString name;
        Badge status;
        std::optional<QString> identifier;
        std::optional<QString> versionLine; // "Version 1.2"
        // Linked with a known target: the drive row and the local row; else the plain path.
        bool showDriveRows = false;
        QColor driveSymbolColor;
        QString drivePath;
        QString localSymbol;
        QString localLabel;
        QString localPath;
    };
    struct UpdateReplacedBanner
    {
        QString text;
        QString localVersion;
        std::optional<QString> driveVersion;
    };
    struct OutOfSyncBanner
    {
        QString macVersion;
        QString driveVersion;
    };
    struct RedundantAliases
    {
        QString title;
        QStringList paths;
    };
    struct Promotion
    {
        QString title;
        bool rootCopyExists = false; // shows "Already at Root /Applications" for the button
        bool buttonEnabled = true;
        QString explanation; // with `code` spans
        std::optional<Notice> notice;
    };
    struct ProxySection
    {
        QString title;
        QString buttonText;
        bool buttonEnabled = true;
        QString explanation;
        std::optional<Notice> notice;
    };
    struct ModePicker
    {
        bool isCopyOnly = false;
        QString description;
    };
    enum class StatusNotice { none, protected_, running };
    struct Terminate
    {
        QString buttonText;
        bool enabled = true;
    };
    struct FolderRow
    {
        QString path;
        QString displayName;
        QString sizeText;
        bool checked = false;
        bool enabled = true;
    };
    enum class RowStyle { plain, secondary, total, reclaimed };
    struct StorageRow
    {
        bool isDivider = false;
        QString label;
        QString value;
        RowStyle style = RowStyle::plain;
        QColor valueColor; // invalid: the style's own colour
    };
    struct Incompatible
    {
        QString title;
        QString reason;
    };
    enum class MainActionKind { reoffload, updateBackup, copy, offload, restore };
    struct MainAction
    {
        MainActionKind kind = MainActionKind::offload;
        QString text;
        QString symbol;
        QColor tint; // invalid: the default tint
        bool enabled = false;
    };

    Header header;
    std::optional<UpdateReplacedBanner> updateReplaced;
    std::optional<OutOfSyncBanner> outOfSync;
    std::optional<RedundantAliases> redundantAliases;
    std::optional<Promotion> promotion;
    std::optional<ProxySection> proxy;
    std::optional<ModePicker> modePicker;
    StatusNotice statusNotice = StatusNotice::none;
    QString protectedReason;
    QString runningLine;
    Terminate terminate;
    std::optional<QList<FolderRow>> supportFolders;
    // Why not every folder of one name is selected: they would be stored at one place on the
    // drive.
    std::optional<QString> sharedNameNote;
    QList<StorageRow> storage;
    std::optional<Incompatible> incompatible;
    std::optional<QString> revealOnDrivePath;
    MainAction mainAction;
    bool hasEnoughSpace = false;
};

// The rules of the single-application detail pane.
class AppDetailPresenter final
{
public:
    // The bundle, the selected support folders and the transfer engine's safety buffer fit
    // into the drive's free space; equality fits. No drive never fits.
    [[nodiscard]] static bool hasEnoughSpace(const AppItem &app,
                                             const std::optional<TargetVolume> &volume);
    // `name` without its blank-and-bracket tags ("Editor [Beta]" -> "Editor").
    [[nodiscard]] static QString cleanName(const QString &name);
    // A link, alias or proxy bundle: the entry stands for a copy on the drive.
    [[nodiscard]] static bool isLinked(const AppItem &app, bool isProxyBundle);

    [[nodiscard]] static AppDetailModel present(const AppItem &app, const AppDetailFacts &facts,
                                                const std::optional<TargetVolume> &volume,
                                                const AppDetailPaneState &state);

    // The notice lines a finished promotion or proxy creation leaves.
    [[nodiscard]] static QString promotionSuccessNotice();
    [[nodiscard]] static QString proxySuccessNotice();
    [[nodiscard]] static QString promotionFailureNotice(const QString &reason);
    [[nodiscard]] static QString proxyFailureNotice(const QString &reason);
};
