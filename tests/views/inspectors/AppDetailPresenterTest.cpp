#include "views/inspectors/AppDetailPresenter.h"
#include "support/Sandbox.h"
#include "transfer/OffloadEngine.h"
#include "views/kit/Controls.h"
#include "views/kit/Palette.h"

#include <gtest/gtest.h>

namespace {

using Model = AppDetailModel;
using S = AppOffloadStatus;

constexpr qint64 buffer = OffloadEngine::safetyBufferBytes;

SupportFolder folder(qint64 size, bool selected, bool moved = false)
{
    SupportFolder f{QUrl::fromLocalFile(QStringLiteral("/support/Editor")),
                    QStringLiteral("Editor")};
    f.size = size;
    f.isSelected = selected;
    f.isSymlink = f.isAlias = moved;
    return f;
}

// An item of 1,000,000 bytes with the facts named in `flags`: "linked", "running",
// "protected", "aliases", "folders".
AppItem app(const QString &flags = {})
{
    AppItem item{QUrl::fromLocalFile(QStringLiteral("/Applications/Editor.app")),
                 QStringLiteral("Editor")};
    item.size = 1'000'000;
    if (flags.contains(QLatin1String("linked"))) {
        item.isSymlink = item.isAlias = true;
        item.symlinkTarget = QStringLiteral("/Volumes/Drive/Applications/Editor.app");
    }
    item.isRunning = flags.contains(QLatin1String("running"));
    item.isProtected = flags.contains(QLatin1String("protected"));
    if (flags.contains(QLatin1String("aliases")))
        item.duplicateAliasPaths = {QStringLiteral("/Applications/Editor 2.app")};
    if (flags.contains(QLatin1String("folders")))
        item.supportFolders = {folder(7000, false)};
    return item;
}

TargetVolume drive(qint64 freeBytes, const QString &type = QStringLiteral("APFS"))
{
    return TargetVolume{.url = QUrl::fromLocalFile(QStringLiteral("/Volumes/Drive")),
                        .name = QStringLiteral("Drive"),
                        .freeBytes = freeBytes,
                        .isWritable = true,
                        .fileSystemType = type,
                        .supportsSymlinks = true};
}

AppDetailFacts facts(S status, bool proxy = false, std::optional<QString> subfolder = {})
{
    AppDetailFacts f;
    f.status = status;
    f.isProxyBundle = proxy;
    f.isRootApplicationsFolder = !subfolder;
    f.subfolderPath = subfolder;
    f.cleanName = QStringLiteral("Editor");
    f.driveCopyExists = true;
    return f;
}

// The optional sections the model shows, in pane order.
QString shownSections(const Model &m)
{
    const std::pair<bool, const char *> sections[] = {
        {bool(m.updateReplaced), "updateReplaced"},
        {bool(m.outOfSync), "outOfSync"},
        {bool(m.redundantAliases), "aliases"},
        {bool(m.promotion), "promotion"},
        {bool(m.proxy), "proxy"},
        {bool(m.modePicker), "mode"},
        {m.statusNotice == Model::StatusNotice::protected_, "protected"},
        {m.statusNotice == Model::StatusNotice::running, "running"},
        {bool(m.supportFolders), "folders"},
        {bool(m.incompatible), "incompatible"},
    };
    QStringList shown;
    for (const auto &[show, name] : sections) {
        if (show)
            shown << QString::fromLatin1(name);
    }
    return shown.join(QLatin1Char(' '));
}

TEST(AppDetailPresenter, SectionsFollowTheItemAndTheDrive)
{
    struct Case
    {
        const char *name;
        QString flags;
        AppDetailFacts facts;
        std::optional<TargetVolume> volume;
        const char *expected;
    };
    const QString tools = QStringLiteral("Tools");
    AppDetailFacts nestedWithoutSubfolder = facts(S::local);
    nestedWithoutSubfolder.isRootApplicationsFolder = false;
    const Case cases[] = {
        {"plain local app", {}, facts(S::local), {}, "mode"},
        {"update replaced an offload", {}, facts(S::needsReoffload), {}, "updateReplaced mode"},
        {"backup out of sync", {}, facts(S::backupOutOfSync), {}, "outOfSync mode"},
        {"offloaded with aliases in a subfolder",
         "linked aliases",
         facts(S::offloaded, false, tools),
         {},
         "aliases promotion proxy"},
        {"a proxy by its marker, not its flags", {}, facts(S::proxy, true), {}, "proxy"},
        {"top of ~/Applications: no subfolder", {}, nestedWithoutSubfolder, {}, "mode"},
        {"protected and running", "protected running", facts(S::protected_), {}, "mode protected"},
        {"running", "running", facts(S::local), {}, "mode running"},
        {"folders, incompatible drive", "folders", facts(S::local), drive(1, "exfat"),
         "mode folders incompatible"},
        {"compatible drive", {}, facts(S::local), drive(1), "mode"},
    };
    for (const Case &c : cases) {
        const Model m = AppDetailPresenter::present(app(c.flags), c.facts, c.volume, {});
        EXPECT_EQ(shownSections(m), QString::fromLatin1(c.expected)) << c.name;
    }
}

TEST(AppDetailPresenter, SpaceRuleCountsSelectedFoldersAndTheBuffer)
{
    AppItem item = app();
    item.supportFolders = {folder(500, true), folder(7000, false)};
    const qint64 required = 1'000'000 + 500 + buffer;
    const std::pair<std::optional<TargetVolume>, bool> cases[] = {
        {drive(required), true},
        {drive(required - 1), false},
        {std::nullopt, false},
    };
    for (const auto &[volume, expected] : cases)
        EXPECT_EQ(AppDetailPresenter::hasEnoughSpace(item, volume), expected);

    // Byte counts at the edge of the range refuse rather than wrap around.
    item.size = std::numeric_limits<qint64>::max() - 10;
    EXPECT_FALSE(AppDetailPresenter::hasEnoughSpace(item, drive(item.size)));
}

TEST(AppDetailPresenter, MainButtonPrecedenceAndDisabling)
{
    const qint64 enough = 1'000'000 + buffer;
    const auto ok = drive(enough);
    const auto fat = drive(enough * 10, QStringLiteral("exfat"));
    const std::optional<TargetVolume> none;
    struct Case
    {
        const char *name;
        S status;
        QString flags; // app() flags, and "copy" for the copy mode
        std::optional<TargetVolume> volume;
        const char *text;
        bool enabled;
    };
    const char *reoffload = "Re-Offload Update (Retaining Settings)";
    const Case cases[] = {
        {"offload", S::local, {}, ok, "Offload to Drive", true},
        {"copy", S::local, "copy", ok, "Copy to Drive", true},
        {"running blocks offload", S::local, "running", ok, "Offload to Drive", false},
        {"running allows copy", S::local, "running copy", ok, "Copy to Drive", true},
        {"protected blocks offload", S::protected_, "protected", ok, "Offload to Drive", false},
        {"protected blocks copy", S::protected_, "protected copy", ok, "Copy to Drive", false},
        {"no drive", S::local, {}, none, "Offload to External Drive", false},
        {"one byte short", S::local, {}, drive(enough - 1), "Offload to Drive", false},
        {"incompatible drive", S::local, "copy", fat, "Copy to Drive", false},
        {"re-offload first", S::needsReoffload, "copy", ok, reoffload, true},
        {"running blocks re-offload", S::needsReoffload, "running", ok, reoffload, false},
        {"incompatible blocks re-offload", S::needsReoffload, {}, fat, reoffload, false},
        {"running allows a backup update", S::backupOutOfSync, "running", ok,
         "Update Backup on Drive", true},
        {"no drive blocks a backup update",
         S::backupOutOfSync,
         {},
         none,
         "Update Backup on Drive",
         false},
        {"restore without a drive", S::offloaded, "linked copy", none, "Restore to Mac", true},
        {"running blocks restore", S::offloaded, "linked running", ok, "Restore to Mac", false},
        {"restore from a missing drive", S::dangling, "linked", fat, "Restore to Mac", true},
    };
    for (const Case &c : cases) {
        AppDetailPaneState state;
        state.isCopyOnly = c.flags.contains(QLatin1String("copy"));
        const Model::MainAction action =
            AppDetailPresenter::present(app(c.flags), facts(c.status), c.volume, state).mainAction;
        EXPECT_EQ(action.text, QString::fromLatin1(c.text)) << c.name;
        EXPECT_EQ(action.enabled, c.enabled) << c.name;
    }
}

TEST(AppDetailPresenter, NoticeColoursDifferBetweenTheTwoSections)
{
    const std::pair<QString, QColor> cases[] = {
        {AppDetailPresenter::promotionSuccessNotice(), Controls::accent()},
        {AppDetailPresenter::promotionFailureNotice(QStringLiteral("gone")), Palette::orange()},
        {QStringLiteral("Cannot do that"), Palette::orange()},
        {QStringLiteral("cannot, in lower case, is no warning"), Controls::accent()},
        {QStringLiteral("nor is an Error in capitals"), Controls::accent()},
    };
    for (const auto &[notice, promotionColour] : cases) {
        AppDetailPaneState state;
        state.proxyNotice = notice;
        const Model m = AppDetailPresenter::present(
            app("linked"), facts(S::offloaded, false, QStringLiteral("Tools")), std::nullopt,
            state);
        ASSERT_TRUE(m.promotion && m.promotion->notice && m.proxy && m.proxy->notice);
        EXPECT_EQ(m.promotion->notice->color, promotionColour) << notice.toStdString();
        EXPECT_EQ(m.proxy->notice->color, Palette::purple()) << notice.toStdString();
    }
}

TEST(AppDetailPresenter, HeaderAndBanners)
{
    AppItem proxy = app();
    proxy.symlinkTarget = QStringLiteral("/Volumes/Drive/Applications/Editor.app");
    proxy.version = QStringLiteral("2.1");
    Model m = AppDetailPresenter::present(proxy, facts(S::proxy, true), std::nullopt, {});
    EXPECT_EQ(m.header.status.text, QStringLiteral("App Proxy (Launcher Bridge)"));
    EXPECT_TRUE(m.header.showLinkBadge && m.header.showDriveRows);
    EXPECT_EQ(m.header.localLabel, QStringLiteral("Local Launcher:"));
    EXPECT_EQ(m.header.driveSymbolColor, Palette::purple());
    EXPECT_EQ(m.header.versionLine, QStringLiteral("Version 2.1"));

    // A dangling link without a recorded target shows its own path alone.
    AppItem dangling = app("linked");
    dangling.symlinkTarget.reset();
    m = AppDetailPresenter::present(dangling, facts(S::dangling), std::nullopt, {});
    EXPECT_EQ(m.header.status.text, QStringLiteral("Drive Missing"));
    EXPECT_FALSE(m.header.showDriveRows || m.header.identifier || m.header.versionLine);
    EXPECT_FALSE(m.revealOnDrivePath);

    AppItem replaced = app();
    replaced.size = 0;
    m = AppDetailPresenter::present(replaced, facts(S::needsReoffload), std::nullopt, {});
    EXPECT_TRUE(m.updateReplaced->text.contains(QStringLiteral("(consuming Calculating\u2026)")));
    EXPECT_EQ(m.updateReplaced->localVersion, QStringLiteral("Unknown"));
    EXPECT_FALSE(m.updateReplaced->driveVersion);
    m = AppDetailPresenter::present(app(), facts(S::backupOutOfSync), std::nullopt, {});
    EXPECT_EQ(m.outOfSync->driveVersion, QStringLiteral("Unknown"));
}

QString storageLines(const Model &m)
{
    QStringList lines;
    for (const Model::StorageRow &row : m.storage)
        lines << (row.isDivider ? QStringLiteral("--") : row.label + QLatin1Char(' ') + row.value);
    return lines.join(QLatin1Char('|'));
}

TEST(AppDetailPresenter, StorageRowsForLocalAndLinkedItems)
{
    AppItem item = app();
    item.supportFolders = {folder(2'000'000, false, true)};
    const qint64 required = 1'000'000 + buffer;
    Model m = AppDetailPresenter::present(item, facts(S::local), drive(required - 1), {});
    EXPECT_EQ(storageLines(m), QStringLiteral("Application Bundle: 1 MB|Selected Support Data: "
                                              "Zero KB|Safety Buffer: 524.3 MB|--|Total Required "
                                              "on Drive: 525.3 MB|Available on 'Drive': 525.3 MB"));
    EXPECT_EQ(m.storage.last().valueColor, Palette::red());
    // A local item may choose a folder that is already a link.
    EXPECT_TRUE(m.supportFolders->first().enabled);
    EXPECT_EQ(m.supportFolders->first().sizeText, QStringLiteral("2 MB (Offloaded)"));

    item.supportFolders.first().isSelected = true;
    m = AppDetailPresenter::present(item, facts(S::local), drive(required + 2'000'000), {});
    EXPECT_EQ(m.storage.last().valueColor, Palette::green());

    AppItem linked = app("linked");
    linked.supportFolders = item.supportFolders;
    m = AppDetailPresenter::present(linked, facts(S::offloaded), drive(1), {});
    EXPECT_EQ(storageLines(m),
              QStringLiteral("App Bundle (On Drive): 1 MB (Offloaded)|Selected "
                             "Support Data: 2 MB|--|Space Reclaimed on Mac: 3 MB"));
    EXPECT_FALSE(m.supportFolders->first().enabled);

    linked.size = 0;
    linked.supportFolders.clear();
    m = AppDetailPresenter::present(linked, facts(S::offloaded), std::nullopt, {});
    EXPECT_EQ(storageLines(m), QStringLiteral("App Bundle (On Drive): Calculating\u2026|--|Space "
                                              "Reclaimed on Mac: Calculating\u2026"));
}

TEST(AppDetailPresenter, RootCopyIsLookedForUnderTheCleanName)
{
    Sandbox sandbox;
    const AppItem nested{QUrl::fromLocalFile(sandbox.applications() + "/Tools/Editor [Beta].app"),
                         QStringLiteral("Editor [Beta]")};
    EXPECT_FALSE(AppDetailFacts::read(nested).rootCopyExists);
    sandbox.makeFolder(sandbox.applications() + QStringLiteral("/Editor.app"));
    const AppDetailFacts found = AppDetailFacts::read(nested);
    EXPECT_EQ(found.subfolderPath, QStringLiteral("Tools"));
    EXPECT_TRUE(found.rootCopyExists);
    const Model m = AppDetailPresenter::present(nested, found, std::nullopt, {});
    EXPECT_TRUE(m.promotion->explanation.contains(QStringLiteral("`/Applications/Editor.app`")));
    // The item itself at the root is no other copy.
    const AppItem atRoot{QUrl::fromLocalFile(sandbox.applications() + "/Editor.app"),
                         QStringLiteral("Editor")};
    EXPECT_FALSE(AppDetailFacts::read(atRoot).rootCopyExists);
}

} // namespace
