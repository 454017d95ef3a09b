#include "transfer/RestoreEngine.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "model/AppItem.h"
#include "platform/FakeDarwinCalls.h"
#include "platform/macos/MacStorage.h"
#include "services/InventoryCollector.h"
#include "services/LedgerService.h"
#include "support/BundleBuilder.h"
#include "support/Errors.h"
#include "support/FakeTool.h"
#include "support/FileHolder.h"
#include "support/Sandbox.h"
#include "support/StoppedHolder.h"
#include "support/TreeDigest.h"
#include "support/Wait.h"
#include "transfer/StagingCleaner.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUnhandledException>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

using namespace std::chrono_literals;

// Items with a restore's temporary markers in `folder`.
QStringList leftovers(const QString &folder)
{
    return QDir(folder).entryList({"*.restoring-*", "*.preserved-local-*"},
                                  QDir::AllEntries | QDir::Hidden | QDir::System);
}

QString contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

const QString copyCommand = platformCopyShell();

const QString staleUuid = QStringLiteral("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");

// The records of `local` in the ledger on the Mac, each as status:drive copy:folder count
// ("app" when the record names the application's drive copy, "-" when not).
QString homeLedger(const QString &home, const QString &local)
{
    QStringList out;
    const QJsonArray records =
        QJsonDocument::fromJson(
            contentOf(home + "/.config/korvanthelix/migration_ledger.json").toUtf8())
            .array();
    for (const QJsonValue &value : records) {
        const QJsonObject record = value.toObject();
        if (record.value("app_original_path").toString() != local)
            continue;
        out.append(record.value("status").toString() + ':' +
                   (record.value("app_target_path").isString() ? "app" : "-") + ':' +
                   QString::number(record.value("support_folders").toArray().size()));
    }
    return out.join(' ');
}

// One application with its bundle and support folder on the drive.
struct App
{
    QString name, local, drive, supportLocal, supportDrive;
};

// A sandbox with a ledger, an engine that does not pause, and a copy tool that counts calls.
struct Scene
{
    Sandbox sandbox;
    LedgerService ledger;
    RestoreEngine engine{ledger};
    FakeTool tool{QStringLiteral("copy"), QStringLiteral("exec ") + copyCommand};
    App editor = addApp(QStringLiteral("Editor"));
    std::optional<MigrationRecord> byRecord; // restore this record instead of a batch
    std::unique_ptr<StoppedHolder> holder;   // another program that took a lock and stopped
    // A process that uses a file; "{fileHolder}" in a message stands for its PID.
    std::shared_ptr<FileHolder> fileHolder;

    Scene()
    {
        sandbox.mountDrive(sandbox.drive());
        sandbox.system().setCopyTool([this](const QString &source, const QString &destination) {
            return QStringList{tool.path(), source, destination};
        });
        engine.setSleeper([](std::chrono::nanoseconds) {});
    }
    App addApp(const QString &name)
    {
        const App app{name, sandbox.applications() + "/" + name + ".app",
                      sandbox.drive() + "/Applications/" + name + ".app",
                      sandbox.userSupport() + "/" + name,
                      sandbox.drive() + "/Application Support/" + name};
        BundleBuilder(app.drive)
            .version(QStringLiteral("2.0"))
            .file("Resources/data", "drive")
            .build();
        sandbox.writeFile(app.supportDrive + "/prefs", "drive prefs");
        return app;
    }
    // What an offload leaves: links (where nothing else stands) and a record.
    void offload(const App &app, bool movedApp = true)
    {
        if (!PathUtils::existsNoFollow(app.local))
            sandbox.makeSymlink(app.local, app.drive);
        if (!PathUtils::existsNoFollow(app.supportLocal))
            sandbox.makeSymlink(app.supportLocal, app.supportDrive);
        ledger.recordMigration(record(app, movedApp), driveURL());
    }
    // Real copies of the drive's items on the Mac.
    void copyBack(const App &app)
    {
        for (const auto &[from, to] :
             {std::pair(app.drive, app.local), std::pair(app.supportDrive, app.supportLocal)}) {
            QDir().mkpath(PathUtils::parentPath(to));
            ASSERT_TRUE(platformCopy(from, to));
        }
    }
    static MigrationRecord record(const App &app, bool movedApp = true)
    {
        return MigrationRecord(
            "2025-01-01T00:00:00Z", app.name, std::nullopt, std::nullopt, app.local, app.drive,
            movedApp, movedApp ? MigrationStatus::active() : MigrationStatus::copied(),
            {SupportFolderRecord(app.supportLocal, app.supportDrive, app.name, movedApp)});
    }
    [[nodiscard]] AppItem item(const App &app) const
    {
        AppItem item{.url = QUrl::fromLocalFile(app.local), .name = app.name};
        item.isSymlink = item.isAlias = PathUtils::isSymlink(app.local);
        item.symlinkTarget = app.drive;
        return item;
    }
    [[nodiscard]] QUrl driveURL() const { return QUrl::fromLocalFile(sandbox.drive()); }
    [[nodiscard]] QString status(const App &app) const
    {
        for (const MigrationRecord &record : ledger.records()) {
            if (record.appOriginalPath == app.local)
                return record.status;
        }
        return {};
    }
};

TEST(RestoreEngine, BatchClearsAnEarlierCancelRequestAndPublishesInOrder)
{
    Scene scene;
    QStringList steps;
    QObject::connect(&scene.engine, &RestoreEngine::currentStepChanged, &scene.engine,
                     [&] { steps.append(scene.engine.currentStep()); });
    scene.engine.cancelCurrentOperation();
    scene.engine.cancelCurrentOperation();
    drainEvents();
    EXPECT_TRUE(scene.engine.isCancelling());

    EXPECT_FALSE(errorOfFuture(scene.engine.restoreBatch({}, std::nullopt)));
    EXPECT_FALSE(scene.engine.isCancelRequested());
    EXPECT_FALSE(scene.engine.isCancelling());
    EXPECT_TRUE(scene.engine.isComplete());
    EXPECT_FALSE(scene.engine.isRestoring());
    EXPECT_EQ(scene.engine.progressPercent(), 1.0);
    EXPECT_EQ(steps, (QStringList{"Cancelling restoration and cleaning up staging files...",
                                  "Cancelling restoration and cleaning up staging files...",
                                  "Preparing to restore 0 application(s)...",
                                  "Successfully restored 0 application(s)!"}));
}

// What stands at the application's place afterwards.
enum class Local { driveCopy, unchanged, update, other };

struct OutcomeCase
{
    const char *name;
    std::function<void(Scene &)> setup;
    int code; // 0: restored
    // "{local}", "{drive}" and "{volume}" stand for the paths; a prefix of the error, or what
    // a restore says after its completion
    const char *message;
    const char *status;
    bool driveKept;
    Local local;
    int copies = -1;                         // -1: not counted
    const char *survivor = "Volumes/Drive";  // below the sandbox root; must remain
    const char *macLedger = nullptr;         // the Mac's ledger afterwards (see homeLedger)
    std::function<void(Scene &)> after = {}; // runs once the restore has ended
};

void PrintTo(const OutcomeCase &c, std::ostream *os)
{
    *os << c.name;
}

class RestoreOutcome : public ::testing::TestWithParam<OutcomeCase>
{};

TEST_P(RestoreOutcome, LeavesTheMacAndTheDriveAsExpected)
{
    const OutcomeCase &c = GetParam();
    Scene scene;
    const App &app = scene.editor;
    c.setup(scene);
    const TreeDigest drive = digestTree(app.drive);
    const TreeDigest supportDrive = digestTree(app.supportDrive);
    const TreeDigest localBefore = digestTree(app.local);
    const auto places = [&] {
        return QList<TreeDigest>{digestTree(scene.sandbox.applications()),
                                 digestTree(scene.sandbox.userSupport()),
                                 digestTree(scene.sandbox.drive())};
    };
    const QList<TreeDigest> before = places();

    // No target: only the folders on the way to the drive's root carry the drive ledger.
    const auto error =
        scene.byRecord
            ? errorOfFuture(scene.engine.restoreApplication(*scene.byRecord, std::nullopt))
            : errorOfFuture(scene.engine.restoreBatch({scene.item(app)}, std::nullopt));
    ASSERT_EQ(error ? error->code() : 0, c.code) << (error ? error->message().toStdString() : "");
    if (c.after)
        c.after(scene);
    // A copy the restore kept, renamed where it stood.
    const QStringList kept =
        QDir(PathUtils::parentPath(app.drive))
            .entryList({PathUtils::lastComponent(app.drive) + ".changed-after-restore-*"});
    const QString expected =
        QString::fromUtf8(c.message ? c.message : "")
            .replace("{local}", app.local)
            .replace("{drive}", app.drive)
            .replace("{volume}", scene.sandbox.drive())
            .replace("{kept}", PathUtils::join(PathUtils::parentPath(app.drive), kept.value(0)))
            .replace("{fileHolder}",
                     QString::number(scene.fileHolder ? scene.fileHolder->pid() : 0));
    if (!kept.isEmpty()) {
        // What changed is there as it was written, and the next scan takes it for no copy of
        // the application: nothing it offers replaces it.
        const QString keptPath = PathUtils::join(PathUtils::parentPath(app.drive), kept.value(0));
        EXPECT_EQ(contentOf(keptPath + "/Contents/Resources/data"), "drive");
        if (expected.contains(QStringLiteral("notes"))) {
            EXPECT_EQ(contentOf(keptPath + "/Contents/Resources/notes"), "written on the drive");
        }
        const std::optional<AppItem> scanned =
            InventoryCollector(scene.ledger.records(), {}, {}).buildItem(app.local);
        ASSERT_TRUE(scanned);
        EXPECT_EQ(scanned->status(), AppOffloadStatus::local);
        EXPECT_FALSE(scanned->externalAppPath);
        // The leftover scan lists it, and its cleanup keeps it.
        const QList<OrphanedStagingItem> listed =
            StagingCleaner::findOrphanedItems(scene.driveURL(), scene.ledger.records());
        EXPECT_TRUE(std::any_of(listed.cbegin(), listed.cend(), [&](const auto &item) {
            return item.displayName == kept.value(0) && item.isRecoveryCopy;
        }));
    }
    if (c.message && error) {
        EXPECT_TRUE(error->message().startsWith(expected)) << error->message().toStdString();
        EXPECT_EQ(scene.engine.error(), error->message());
    }
    EXPECT_EQ(scene.status(app).toStdString(), c.status);
    EXPECT_EQ(PathUtils::existsNoFollow(app.drive), c.driveKept);
    EXPECT_TRUE(PathUtils::existsNoFollow(scene.sandbox.path(c.survivor)));
    EXPECT_TRUE(leftovers(scene.sandbox.applications()).isEmpty());
    EXPECT_EQ(leftovers(scene.sandbox.userSupport()).filter(QRegularExpression("^Editor\\.")),
              QStringList());
    if (c.macLedger) {
        EXPECT_EQ(homeLedger(scene.sandbox.home(), app.local).toStdString(), c.macLedger);
    }
    EXPECT_FALSE(scene.engine.isRestoring());
    if (c.copies >= 0) {
        EXPECT_EQ(scene.tool.calls().size(), c.copies);
    }
    if (c.code == 407) {
        EXPECT_TRUE(before == places()) << "nothing may change";
    }
    const TreeDigest localAfter = digestTree(app.local);
    switch (c.local) {
    case Local::driveCopy:
        EXPECT_EQ(describeDifference(drive, localAfter), QString());
        break;
    case Local::unchanged:
        EXPECT_EQ(describeDifference(localBefore, localAfter), QString());
        break;
    case Local::update:
        EXPECT_EQ(describeDifference(digestTree(scene.sandbox.path("update")), localAfter), "");
        break;
    case Local::other:
        break;
    }
    if (c.code == 0 && !scene.byRecord) {
        EXPECT_EQ(contentOf(app.supportLocal + "/prefs"), "drive prefs");
        EXPECT_EQ(describeDifference(supportDrive, digestTree(app.supportLocal)), QString());
        const QString done = QStringLiteral("Successfully restored 1 application(s)!");
        EXPECT_EQ(scene.engine.currentStep().toStdString(),
                  (c.message ? done + QLatin1Char(' ') + expected : done).toStdString());
        EXPECT_EQ(contentOf(scene.sandbox.drive() + "/.korvanthelix_ledger.json")
                      .contains("\"restored\""),
                  QString::fromLatin1(c.status) == "restored");
    }
}

// The copy tool spoils what it copies; the pause before the second verification may mend it.
void faultyCopies(Scene &s, bool mendedAtRetry)
{
    s.offload(s.editor);
    s.tool.setBody(copyCommand + " && f=\"$2/Contents/Resources/data\" && "
                                 "{ [ ! -e \"$f\" ] || echo bad >> \"$f\"; }");
    s.engine.setSleeper([&s, mendedAtRetry](std::chrono::nanoseconds pause) {
        const QString folder = s.sandbox.applications();
        for (const QString &name : leftovers(folder)) {
            if (mendedAtRetry && pause == 600ms)
                s.sandbox.writeFile(folder + "/" + name + "/Contents/Resources/data", "drive");
        }
    });
}

// The staged copy of the support folder differs from the drive's at both its verifications.
void spoilTheSupportCopy(Scene &s)
{
    s.engine.setSleeper([&s](std::chrono::nanoseconds pause) {
        if (pause != 100ms && pause != 300ms)
            return;
        const QString folder = s.sandbox.userSupport();
        for (const QString &name : leftovers(folder))
            s.sandbox.writeFile(folder + "/" + name + "/spoilt", "not on the drive");
    });
}

// The user's own folder of the application's name, and the drive's Applications folder swapped
// for a link to the folder holding it: at the pause after the support folder's copy (when the
// application is back on the Mac), or, with `atTheAdministrator`, as the administrator's shell
// is about to act.
void linkDriveFolderToTheUsersOwn(Scene &s, bool atTheAdministrator)
{
    s.offload(s.editor);
    const QString projects = s.sandbox.home() + "/Documents/Projects";
    s.sandbox.writeFile(projects + "/Editor.app/notes", "mine");
    const auto swap = [&s, projects] {
        const QString applications = s.sandbox.drive() + "/Applications";
        if (PathUtils::isSymlink(applications))
            return;
        ASSERT_TRUE(QDir().rename(applications, applications + "-away"));
        Sandbox::makeSymlink(applications, projects);
    };
    if (atTheAdministrator) {
        // Only the administrator may change the drive's Applications folder.
        s.sandbox.system().setReadOnly(s.sandbox.drive() + "/Applications");
        s.sandbox.system().fakeAdminShell().answerWith([swap](const QString &command) {
            swap();
            return FakeAdminShell::runWithShell(command);
        });
        return;
    }
    s.engine.setSleeper([swap](std::chrono::nanoseconds pause) {
        if (pause == 100ms)
            swap();
    });
}

// A record with one edit, restored on its own beside a real copy of the application.
std::function<void(Scene &)> untrusted(std::function<void(Scene &, MigrationRecord &)> edit)
{
    return [edit](Scene &s) {
        s.copyBack(s.editor);
        QDir(s.editor.supportLocal).removeRecursively();
        MigrationRecord record = Scene::record(s.editor);
        edit(s, record);
        s.byRecord = record;
    };
}

INSTANTIATE_TEST_SUITE_P(, RestoreOutcome,
                         ::
                             testing::Values(OutcomeCase{"LinksReplacedByDriveCopies",
                                                         [](Scene &s) { s.offload(s.editor); }, 0,
                                                         nullptr, "restored", false,
                                                         Local::driveCopy, 2},
                                             // An ordinary user may not look into the
                                             // system's processes: the success says so.
                                             OutcomeCase{
                                                 "ProcessesOfOthersCannotBeLookedInto",
                                                 [](Scene &s) {
                                                     s.offload(s.editor);
                                                     s.sandbox.system().fakeEjectTools().setUsersOf(
                                                         [](const TreeItems &) {
                                                             return FileUsers{{}, {{1, "launchd"}}};
                                                         });
                                                 },
                                                 0,
                                                 "Korvanthelix was not allowed to look "
                                                 "into 1 process ('launchd'), so it "
                                                 "cannot tell whether it was still "
                                                 "writing to '{drive}' or "
                                                 "'{volume}/Application Support/Editor' "
                                                 "when they were removed.",
                                                 "restored", false, Local::driveCopy, 2},
                                             OutcomeCase{"IdenticalRealCopiesStayAndDriveCopiesGo",
                                                         [](Scene &s) {
                                                             s.copyBack(s.editor);
                                                             s.offload(s.editor);
                                                         },
                                                         0, nullptr, "restored", false,
                                                         Local::driveCopy, 0},
                                             OutcomeCase{"DifferingRealApplicationRefused",
                                                         [](Scene &s) {
                                                             BundleBuilder(s.editor.local)
                                                                 .version(QStringLiteral("1.0"))
                                                                 .build();
                                                             s.offload(s.editor);
                                                         },
                                                         409,
                                                         "A real application already exists at "
                                                         "'{local}' (v1.0) that is not an "
                                                         "Korvanthelix proxy. External version is "
                                                         "v2.0. To prevent overwriting a newer "
                                                         "or separate local installation, restore "
                                                         "was cancelled. Please rename or "
                                                         "remove the local app first.",
                                                         "active", true, Local::unchanged, 0},
                                             // An application of its own whose Info.plist carries a
                                             // proxy's keys is compared, not replaced as a proxy
                                             // would be.
                                             OutcomeCase{"RealApplicationMarkedAsAProxyRefused",
                                                         [](Scene &s) {
                                                             BundleBuilder(s.editor.local)
                                                                 .version(QStringLiteral("1.0"))
                                                                 .plistValue(QStringLiteral(
                                                                                 "TargetAppPath"),
                                                                             s.editor.drive)
                                                                 .build();
                                                             s.offload(s.editor);
                                                         },
                                                         409,
                                                         "A real application already exists at "
                                                         "'{local}' (v1.0)",
                                                         "active", true, Local::unchanged, 0},
                                             OutcomeCase{"DanglingLinkInTheWayReplaced",
                                                         [](Scene &s) {
                                                             s.sandbox.makeSymlink(
                                                                 s.editor.local,
                                                                 s.sandbox.path("gone/Editor.app"));
                                                             s.sandbox.makeSymlink(
                                                                 s.editor.supportLocal,
                                                                 s.sandbox.path("gone/x"));
                                                             s.offload(s.editor);
                                                         },
                                                         0, nullptr, "restored", false,
                                                         Local::driveCopy, 2},
                                             OutcomeCase{
                                                 "BackupRestoreKeepsItsDriveCopies",
                                                 [](Scene &s) {
                                                     s.copyBack(s.editor);
                                                     s.offload(s.editor, false);
                                                 },
                                                 0, nullptr, "copied", true, Local::driveCopy, 0,
                                                 "Volumes/Drive/Application Support/Editor"},
                                             OutcomeCase{"VerificationMendedAtTheRetry",
                                                         [](Scene &s) { faultyCopies(s, true); }, 0,
                                                         nullptr, "restored", false,
                                                         Local::driveCopy, 2},
                                             OutcomeCase{"VerificationFailingTwice",
                                                         [](Scene &s) { faultyCopies(s, false); },
                                                         404,
                                                         "Verification failed for restored "
                                                         "application bundle 'Editor'. External "
                                                         "application was left untouched.",
                                                         "active", true, Local::unchanged, 1},
                                             // On a Mac only each restored file's own push reports
                                             // that the disk did not store it: the drive copies and
                                             // the record that names them stay.
                                             OutcomeCase{
                                                 "AMacDiskThatCannotStoreARestoredFile",
                                                 [](Scene &s) {
                                                     s.offload(s.editor);
                                                     auto darwin =
                                                         std::make_shared<FakeDarwinCalls>();
                                                     darwin->failSyncNumber(2);
                                                     s.sandbox.system().useStorage(
                                                         std::make_shared<MacStorage>(darwin));
                                                 },
                                                 411,
                                                 "'Editor' was restored to your Mac, but the disk "
                                                 "holding '{local}' reported "
                                                 "an error while saving it: Input/output error. "
                                                 "Its copies on the drive were "
                                                 "kept.",
                                                 "active", true, Local::driveCopy, 2},
                                             // Links that lead nowhere come back as they were,
                                             // through a Mac's storage, which pushes each item on
                                             // its own.
                                             OutcomeCase{
                                                 "LinksLeadingNowhereComeBack",
                                                 [](Scene &s) {
                                                     for (const QString &folder :
                                                          QStringList{s.editor.drive + "/Contents",
                                                                      s.editor.supportDrive}) {
                                                         s.sandbox.makeSymlink(folder + "/lock",
                                                                               "127.0.0.1:+12345");
                                                         s.sandbox.makeSymlink(
                                                             folder + "/removed",
                                                             s.sandbox.path("gone"));
                                                     }
                                                     s.offload(s.editor);
                                                     s.sandbox.system().useStorage(
                                                         std::make_shared<MacStorage>(
                                                             std::make_shared<FakeDarwinCalls>()));
                                                 },
                                                 0, nullptr, "restored", false, Local::driveCopy,
                                                 2},
                                             // An error of another type than the engine's own ends
                                             // the restore as visibly.
                                             OutcomeCase{
                                                 "ForeignErrorAtTheCopy",
                                                 [](Scene &s) {
                                                     s.offload(s.editor);
                                                     s.sandbox.system().setCopyTool(
                                                         [](const QString &,
                                                            const QString &) -> QStringList {
                                                             throw std::runtime_error(
                                                                 "no copy tool today");
                                                         });
                                                 },
                                                 -1,
                                                 "The operation stopped on an unexpected error: no "
                                                 "copy tool today",
                                                 "active", true, Local::unchanged, 0},
                                             OutcomeCase{
                                                 "FinalVerificationFailing",
                                                 [](Scene &s) {
                                                     s.offload(s.editor);
                                                     s.sandbox.system()
                                                         .fakeBundleServices()
                                                         .setOnRegister([&s](const QString &path) {
                                                             s.sandbox.writeFile(
                                                                 path + "/Contents/Resources/data",
                                                                 "changed");
                                                         });
                                                 },
                                                 406,
                                                 "Final destination integrity verification failed "
                                                 "for restored application "
                                                 "bundle 'Editor' at '{local}'. External "
                                                 "application bundle at '{drive}' was "
                                                 "preserved.",
                                                 "active", true, Local::other, 1},
                                             OutcomeCase{
                                                 "RemovalFailingAfterTheLedgerUpdate",
                                                 [](Scene &s) {
                                                     s.offload(s.editor);
                                                     s.sandbox.system().setReadOnly(
                                                         s.sandbox.drive() + "/Applications");
                                                 },
                                                 406,
                                                 "'Editor' was restored and verified on your Mac "
                                                 "(ledger updated), but removing "
                                                 "leftover external copy failed:\n{drive}: ",
                                                 "restored", true, Local::driveCopy, 2},
                                             // A drive folder swapped for a link after the
                                             // application came back: what the link leads to is no
                                             // drive copy, and stays.
                                             OutcomeCase{
                                                 "DriveFolderMadeALinkBeforeTheRemoval",
                                                 [](Scene &s) {
                                                     linkDriveFolderToTheUsersOwn(s, false);
                                                 },
                                                 0,
                                                 "Its copy '{drive}' was left on the drive: the "
                                                 "folder '{volume}/Applications' "
                                                 "is now a link.",
                                                 "restored", true, Local::driveCopy, 2,
                                                 "Users/tester/Documents/Projects/Editor.app/"
                                                 "notes"},
                                             OutcomeCase{"DriveFolderMadeALinkAsTheAdministratorAct"
                                                         "s",
                                                         [](Scene &s) {
                                                             linkDriveFolderToTheUsersOwn(s, true);
                                                         },
                                                         406,
                                                         "'Editor' was restored and verified on "
                                                         "your Mac "
                                                         "(ledger updated), but removing "
                                                         "leftover external copy failed:\n{drive}: "
                                                         "Failed "
                                                         "to move "
                                                         "'{volume}/Applications/Editor.app' to "
                                                         "'{volume}/Applications/"
                                                         "Editor.app.korvanthelix-partial': "
                                                         "{volume}/Applications changed since it "
                                                         "was "
                                                         "looked at",
                                                         "restored", true, Local::driveCopy, 2,
                                                         "Users/tester/Documents/Projects/"
                                                         "Editor.app/"
                                                         "notes"},
                                             // Started from the drive while it is copied back: its
                                             // launcher stays, and so does its copy.
                                             OutcomeCase{"LaunchedFromTheDriveDuringTheCopy",
                                                         [](Scene &s) {
                                                             s.offload(s.editor);
                                                             s.engine.setSleeper([&s](
                                                                                     std::chrono::
                                                                                         nanoseconds
                                                                                             pause) {
                                                                 if (pause == 200ms)
                                                                     s.sandbox.system()
                                                                         .fakeWorkspace()
                                                                         .setRunningApplicationBundles(
                                                                             {s.editor.drive});
                                                             });
                                                         },
                                                         412,
                                                         "Application 'Editor' is currently "
                                                         "running from the drive. Please quit it "
                                                         "before restoring.",
                                                         "active", true, Local::unchanged, 1},
                                             // Written to on the drive after it was read: the Mac
                                             // does not hold that, so it stays.
                                             OutcomeCase{"DriveCopyWrittenToAfterItWasRead",
                                                         [](Scene &s) {
                                                             s.offload(s.editor);
                                                             s.engine.setSleeper(
                                                                 [&s](std::chrono::nanoseconds
                                                                          pause) {
                                                                     if (pause == 100ms)
                                                                         s.sandbox.writeFile(
                                                                             s.editor.drive +
                                                                                 "/Contents/"
                                                                                 "Resources/notes",
                                                                             "written on the "
                                                                             "drive");
                                                                 });
                                                         },
                                                         0,
                                                         "Its copy '{drive}' was left on the drive "
                                                         "as '{kept}': it changed after the "
                                                         "restore read it "
                                                         "('Contents/Resources/notes' was added to "
                                                         "it).",
                                                         "restored", false, Local::other, 2},
                                             // Still written to by a process that holds it open:
                                             // what it writes next would be lost.
                                             OutcomeCase{"DriveCopyStillOpenForWriting",
                                                         [](Scene &s) {
                                                             s.offload(s.editor);
                                                             s.fileHolder =
                                                                 std::make_shared<FileHolder>(
                                                                     s.editor.drive +
                                                                         "/Contents/Resources/data",
                                                                     FileHolder::Hold::writes);
                                                             ASSERT_TRUE(s.fileHolder->isReady());
                                                         },
                                                         0,
                                                         "Its copy '{drive}' was left on the drive "
                                                         "as '{kept}': 'tests_transfer' (pid "
                                                         "{fileHolder}) is writing to "
                                                         "'Contents/Resources/data' in '{drive}'.",
                                                         "restored", false, Local::driveCopy, 2},
                                             // The drive's ledger is held by a program that
                                             // stopped: the restore stands, says what the drive's
                                             // ledger still owes, and the next scan writes it
                                             // there.
                                             OutcomeCase{"DriveLedgerHeldByAProgramThatStopped",
                                                         [](Scene &s) {
                                                             s.offload(s.editor);
                                                             s.ledger.setWriterWaitLimit(
                                                                 std::chrono::milliseconds(300));
                                                             s.holder =
                                                                 std::make_unique<StoppedHolder>(
                                                                     s.sandbox.drive() +
                                                                     "/.korvanthelix_ledger.lock");
                                                         },
                                                         0,
                                                         "The drive's own ledger could not take it "
                                                         "yet; the drive 'Drive' will be updated "
                                                         "when it is next free.",
                                                         "restored", false, Local::driveCopy, 2,
                                                         "Volumes/Drive", nullptr,
                                                         [](Scene &s) {
                                                             s.holder.reset();
                                                             s.ledger.settleOwedChanges();
                                                         }},
                                             // A support folder fails after the application came
                                             // back, while the drive's ledger is held: what it
                                             // still owes is said with the failure.
                                             OutcomeCase{
                                                 "AFolderFailingWhileTheDrivesLedgerIsHeld",
                                                 [](Scene &s) {
                                                     s.offload(s.editor);
                                                     s.ledger.setWriterWaitLimit(
                                                         std::chrono::milliseconds(300));
                                                     s.holder = std::make_unique<StoppedHolder>(
                                                         s.sandbox.drive() +
                                                         "/.korvanthelix_ledger.lock");
                                                     spoilTheSupportCopy(s);
                                                 },
                                                 403,
                                                 "'Editor' was restored to your Mac (ledger "
                                                 "updated), but not its support data: "
                                                 "'Editor' stayed on the drive. "
                                                 "Verification failed for restored support "
                                                 "folder 'Editor'. External copy was left "
                                                 "untouched. The drive's own ledger could "
                                                 "not take it yet; the drive 'Drive' will "
                                                 "be updated when it is next free.",
                                                 "restored", true, Local::driveCopy, 2,
                                                 "Volumes/Drive/Application Support/Editor",
                                                 "restored:app:1 active:-:1"},
                                             // A restore cut short during an earlier run left its
                                             // staging copies.
                                             OutcomeCase{"StagingCopiesOfEarlierRunsRemoved",
                                                         [](Scene &s) {
                                                             s.offload(s.editor);
                                                             s.sandbox.writeFile(
                                                                 s.editor.local + ".restoring-" +
                                                                     staleUuid + "/part",
                                                                 "cut");
                                                             s.sandbox.writeFile(
                                                                 s.editor.supportLocal +
                                                                     ".restoring-" + staleUuid +
                                                                     "/part",
                                                                 "cut");
                                                             s.sandbox.writeFile(
                                                                 s.sandbox.userSupport() +
                                                                     "/Editor Helper.restoring-" +
                                                                     staleUuid + "/part",
                                                                 "another's");
                                                         },
                                                         0, nullptr, "restored", false,
                                                         Local::driveCopy, 2,
                                                         "Users/tester/Library/Application "
                                                         "Support/Editor Helper.restoring-"
                                                         "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"},
                                             OutcomeCase{"RetryAfterAFinishedRestore",
                                                         [](Scene &s) {
                                                             s.offload(s.editor);
                                                             ASSERT_FALSE(errorOfFuture(
                                                                 s.engine.restoreBatch(
                                                                     {s.item(s.editor)},
                                                                     s.driveURL())));
                                                         },
                                                         400,
                                                         "'Editor' is already restored: it is back "
                                                         "on your Mac at '{local}'.",
                                                         "restored", false, Local::unchanged, 2,
                                                         "Volumes/Drive", "restored:app:1"},
                                             // The drive goes away after the application is back,
                                             // before its folder is swapped in: the Mac's ledger
                                             // says so, and keeps the folder that stayed on the
                                             // drive in force.
                                             OutcomeCase{"DriveGoneBeforeAFolderSwap",
                                                         [](Scene &s) {
                                                             s.offload(s.editor);
                                                             s.engine.setSleeper(
                                                                 [&s](std::chrono::nanoseconds
                                                                          pause) {
                                                                     if (pause == 100ms)
                                                                         s.sandbox.system()
                                                                             .fakeVolumes()
                                                                             .removeVolume(
                                                                                 s.sandbox.drive());
                                                                 });
                                                         },
                                                         410,
                                                         "The drive \"Drive\" is no longer "
                                                         "connected. 'Editor' was restored to your "
                                                         "Mac (ledger updated), but not its "
                                                         "support data: 'Editor' stayed on the "
                                                         "drive. Connect the drive, choose it "
                                                         "again and retry to bring it back.",
                                                         "restored", true, Local::driveCopy, 2,
                                                         "Volumes/Drive/Application Support/Editor",
                                                         "restored:app:1 active:-:1"},
                                             OutcomeCase{
                                                 "DifferingApplicationInstalledDuringTheCopyIsKept",
                                                 [](Scene &s) {
                                                     s.offload(s.editor);
                                                     const QString update =
                                                         BundleBuilder(s.sandbox.path("update"))
                                                             .version("3.0")
                                                             .build();
                                                     s.tool.setBody(
                                                         copyCommand + " && rm -f '" +
                                                         s.editor.local + "' && " +
                                                         platformCopyShell("'" + update + "'",
                                                                           "'" + s.editor.local +
                                                                               "'"));
                                                 },
                                                 409,
                                                 "A real application already exists at '{local}' "
                                                 "(v3.0)",
                                                 "active", true, Local::update, 1},
                                             // Ledger paths are untrusted: what they name is
                                             // checked before anything is touched.
                                             OutcomeCase{
                                                 "DotDotInASupportPath",
                                                 untrusted([](Scene &s, MigrationRecord &r) {
                                                     r.supportFolders[0].target =
                                                         s.sandbox.drive() + "/../../Users/tester";
                                                 }),
                                                 407,
                                                 "Invalid migration record for 'Editor': the path ",
                                                 "", true, Local::unchanged},
                                             OutcomeCase{
                                                 "DriveCopyInsideTheLocalBundle",
                                                 untrusted([](Scene &s, MigrationRecord &r) {
                                                     r.appTargetPath = s.editor.local + "/Contents";
                                                 }),
                                                 407, nullptr, "", true, Local::unchanged},
                                             OutcomeCase{
                                                 "DrivePathLinkedToTheLocalPlace",
                                                 untrusted([](Scene &s, MigrationRecord &r) {
                                                     s.sandbox.makeSymlink(
                                                         s.sandbox.drive() + "/Mirror",
                                                         s.sandbox.applications());
                                                     r.appTargetPath =
                                                         s.sandbox.drive() + "/Mirror/Editor.app";
                                                 }),
                                                 407, nullptr, "", true, Local::unchanged},
                                             OutcomeCase{
                                                 "SupportCopyInsideItsOwnFolder",
                                                 untrusted([](Scene &s, MigrationRecord &r) {
                                                     s.sandbox.writeFile(s.editor.supportLocal +
                                                                             "/copy/prefs",
                                                                         "local");
                                                     r.supportFolders[0].target =
                                                         s.editor.supportLocal + "/copy";
                                                 }),
                                                 407, nullptr, "", true, Local::unchanged, 0},
                                             OutcomeCase{
                                                 "SupportCopyInsideTheLocalApplication",
                                                 untrusted([](Scene &s, MigrationRecord &r) {
                                                     r.supportFolders[0].target =
                                                         s.editor.local + "/Contents/Resources";
                                                 }),
                                                 407, nullptr, "", true, Local::unchanged, 0,
                                                 "Applications/Editor.app/Contents/Resources/"
                                                 "data"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(RestoreEngine, CancelDuringTheCopyStopsItAndLeavesNoStagingCopy)
{
    Scene scene;
    scene.offload(scene.editor);
    scene.tool.setBody("mkdir -p \"$2\" && echo part > \"$2/part\" && exec sleep 30");
    const QFuture<void> running =
        scene.engine.restoreBatch({scene.item(scene.editor)}, scene.driveURL());
    ASSERT_TRUE(waitUntil([&] { return !leftovers(scene.sandbox.applications()).isEmpty(); }));
    scene.engine.cancelCurrentOperation();

    const auto error = errorOfFuture(running);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 3072);
    EXPECT_EQ(scene.engine.error(), "Restoration cancelled by user.");
    EXPECT_TRUE(scene.engine.isCancelling());
    EXPECT_TRUE(leftovers(scene.sandbox.applications()).isEmpty());
    EXPECT_TRUE(PathUtils::isSymlink(scene.editor.local));
    EXPECT_EQ(scene.status(scene.editor), "active");
    EXPECT_TRUE(scene.sandbox.system().fakeAdminShell().commands().isEmpty());
}

// The program dies (power loss, a kill) while it deletes the drive copies, after both ledgers
// say "restored": here between the two removals, the first half done. What it leaves on the
// drive is listed by the leftover scan and removed by its cleanup, and a retry says the
// application is back.
TEST(RestoreEngine, RemovalCutShortLeavesOnlyListedLeftovers)
{
    struct Killed
    {};
    Scene scene;
    const App &app = scene.editor;
    scene.offload(app);
    const TreeDigest driveCopy = digestTree(app.drive);
    // Only the administrator may remove from the drive's Applications folder; the program dies
    // halfway through that removal.
    scene.sandbox.system().setReadOnly(scene.sandbox.drive() + "/Applications");
    std::atomic<bool> killed = false;
    scene.sandbox.system().fakeAdminShell().answerWith([&](const QString &command) {
        // The shell enters the folder it was given and removes the item there.
        if (command.contains("/bin/rm -rf --one-file-system -- ") && !killed.exchange(true)) {
            const QString folder = command.section("cd -P -- '", 1).section('\'', 0, 0);
            const QString name =
                command.section("/bin/rm -rf --one-file-system -- '", 1).section('\'', 0, 0);
            QDir(folder + "/" + name + "/Contents/Resources").removeRecursively();
            throw Killed{};
        }
        return FakeAdminShell::runWithShell(command);
    });

    QFuture<void> restore = scene.engine.restoreBatch({scene.item(app)}, scene.driveURL());
    ASSERT_TRUE(waitFor(restore));
    EXPECT_THROW(restore.waitForFinished(), QUnhandledException);
    scene.ledger.loadRecords();
    ASSERT_EQ(scene.status(app), "restored");
    EXPECT_EQ(describeDifference(driveCopy, digestTree(app.local)), QString());

    // Everything left on the drive is listed, none of it as a recovery copy.
    const QStringList onDrive =
        QDir(scene.sandbox.drive() + "/Applications")
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot) +
        QDir(scene.sandbox.drive() + "/Application Support")
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QStringList listed;
    for (const OrphanedStagingItem &item :
         StagingCleaner::findOrphanedItems(scene.driveURL(), scene.ledger.records(), true)) {
        EXPECT_FALSE(item.isRecoveryCopy) << item.displayName.toStdString();
        listed.append(item.displayName);
    }
    listed.sort();
    EXPECT_EQ(listed,
              (QStringList{"Editor.app.korvanthelix-partial", "Editor.korvanthelix-partial"}));
    EXPECT_EQ(QStringList(onDrive).filter(QRegularExpression("^[^.]")), listed);

    // A retry, as the restarted program's scan shows the application and as a window that has
    // not scanned again still shows it.
    const QString restored = "'Editor' is already restored: it is back on your Mac at '" +
                             app.local +
                             "'. What an interrupted restore left on the drive is listed among "
                             "the leftover items; Clean Up removes it.";
    RestoreEngine restarted{scene.ledger};
    const AppItem scanned{.url = QUrl::fromLocalFile(app.local), .name = app.name};
    for (const AppItem &item : {scanned, scene.item(app)}) {
        const auto retry = errorOfFuture(restarted.restoreBatch({item}, scene.driveURL()));
        ASSERT_TRUE(retry);
        EXPECT_EQ(retry->code(), 400);
        EXPECT_EQ(retry->message(), restored);
    }

    StagingCleaner cleaner{scene.ledger};
    ASSERT_TRUE(waitFor(cleaner.scanOrphanedItems(scene.driveURL())));
    const QFuture<StagingCleanupResult> cleanup = cleaner.cleanAllOrphanedItems(scene.driveURL());
    ASSERT_TRUE(waitFor(cleanup));
    EXPECT_EQ(cleanup.result().removedCount, 2);
    EXPECT_EQ(digestTree(scene.sandbox.drive() + "/Applications").keys(), QStringList{QString()});
    EXPECT_EQ(digestTree(scene.sandbox.drive() + "/Application Support").keys(),
              QStringList{QString()});
    EXPECT_EQ(describeDifference(driveCopy, digestTree(app.local)), QString());
    const auto again = errorOfFuture(restarted.restoreBatch({scanned}, scene.driveURL()));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->message(),
              "'Editor' is already restored: it is back on your Mac at '" + app.local + "'.");
}

TEST(RestoreEngine, PreservedLocalFoldersAreListedAcrossTheBatch)
{
    Scene scene;
    const App viewer = scene.addApp(QStringLiteral("Viewer"));
    for (const App &app : {scene.editor, viewer}) {
        scene.sandbox.writeFile(app.supportLocal + "/prefs", "local prefs");
        scene.offload(app);
    }
    EXPECT_FALSE(errorOfFuture(scene.engine.restoreBatch(
        {scene.item(scene.editor), scene.item(viewer)}, scene.driveURL())));
    const QStringList preserved = scene.engine.preservedBackupPaths();
    ASSERT_EQ(preserved.size(), 2);
    for (const App &app : {scene.editor, viewer}) {
        const QString aside = preserved.at(app.name == "Editor" ? 0 : 1);
        EXPECT_TRUE(aside.startsWith(app.supportLocal + ".preserved-local-"));
        EXPECT_EQ(contentOf(aside + "/prefs"), "local prefs");
        EXPECT_EQ(contentOf(app.supportLocal + "/prefs"), "drive prefs");
        EXPECT_EQ(scene.status(app), "restored");
    }
}

TEST(RestoreEngine, FailedFolderSwapMovesThePreservedFolderBack)
{
    Scene scene;
    scene.sandbox.writeFile(scene.editor.supportLocal + "/prefs", "local prefs");
    scene.offload(scene.editor);
    // Only the administrator may move there, and it refuses to move the staging copy in.
    scene.sandbox.system().setReadOnly(scene.sandbox.userSupport());
    scene.sandbox.system().fakeAdminShell().answerWith([](const QString &command) {
        if (command.startsWith("/bin/mv") && command.contains(".restoring-"))
            return AdminShellResult{false, QStringLiteral("User canceled.")};
        return FakeAdminShell::runWithShell(command);
    });

    const auto error =
        errorOfFuture(scene.engine.restoreBatch({scene.item(scene.editor)}, scene.driveURL()));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "PrivilegeHelper");
    // The application is back, and the message and the ledgers say so.
    EXPECT_TRUE(error->message().startsWith("'Editor' was restored to your Mac (ledger updated), "
                                            "but not its support data: 'Editor' stayed on the "
                                            "drive. "))
        << error->message().toStdString();
    EXPECT_EQ(homeLedger(scene.sandbox.home(), scene.editor.local).toStdString(),
              "restored:app:1 active:-:1");
    EXPECT_EQ(contentOf(scene.editor.supportLocal + "/prefs"), "local prefs");
    EXPECT_TRUE(scene.engine.preservedBackupPaths().isEmpty());
    EXPECT_TRUE(leftovers(scene.sandbox.userSupport()).isEmpty());
    EXPECT_TRUE(PathUtils::existsNoFollow(scene.editor.supportDrive));
    EXPECT_EQ(scene.status(scene.editor), "active");
}

TEST(RestoreEngine, BatchStopsAtTheFirstFailureAndShowsIt)
{
    Scene scene;
    const App viewer = scene.addApp(QStringLiteral("Viewer"));
    scene.offload(scene.editor);
    scene.offload(viewer);
    // A real application without a record: nothing to restore it from.
    const QString ghost = BundleBuilder(scene.sandbox.applications() + "/Ghost.app").build();
    const AppItem realGhost{.url = QUrl::fromLocalFile(ghost), .name = QStringLiteral("Ghost")};

    const auto error = errorOfFuture(scene.engine.restoreBatch(
        {scene.item(scene.editor), realGhost, scene.item(viewer)}, scene.driveURL()));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 400);
    EXPECT_EQ(scene.engine.error(), "No valid external destination target known for 'Ghost'.");
    EXPECT_FALSE(scene.engine.isRestoring());
    EXPECT_FALSE(scene.engine.isComplete());
    EXPECT_DOUBLE_EQ(scene.engine.progressPercent(), 1.0 / 3.0);
    EXPECT_EQ(scene.status(scene.editor), "restored");
    EXPECT_TRUE(PathUtils::isSymlink(viewer.local));
}

// A record someone edited on the drive is refused by the lookup before anything is read; the
// other applications of the batch still come back, and the batch ends with the refusal.
TEST(RestoreEngine, BatchGoesOnPastARefusedRecord)
{
    Scene scene;
    const App viewer = scene.addApp(QStringLiteral("Viewer"));
    const QString ssh = scene.sandbox.home() + "/.ssh";
    scene.sandbox.writeFile(ssh + "/authorized_keys", "ssh-ed25519 AAAA mine", 0600);
    const TreeDigest keys = digestTree(ssh);
    MigrationRecord edited = Scene::record(scene.editor);
    edited.supportFolders[0].source = ssh;
    scene.sandbox.makeSymlink(scene.editor.local, scene.editor.drive);
    scene.ledger.recordMigration(edited, scene.driveURL());
    scene.offload(viewer);

    const auto error = errorOfFuture(scene.engine.restoreBatch(
        {scene.item(scene.editor), scene.item(viewer)}, scene.driveURL()));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 407);
    EXPECT_TRUE(error->message().startsWith("Invalid migration record for 'Editor': the support "
                                            "folder '" +
                                            ssh + "'"))
        << error->message().toStdString();
    EXPECT_EQ(scene.engine.error(), error->message());
    EXPECT_FALSE(scene.engine.isRestoring());
    EXPECT_FALSE(scene.engine.isComplete());
    EXPECT_EQ(describeDifference(keys, digestTree(ssh)), QString());
    EXPECT_TRUE(PathUtils::isSymlink(scene.editor.local));
    EXPECT_EQ(scene.status(scene.editor), "active");
    EXPECT_EQ(scene.status(viewer), "restored");
    EXPECT_EQ(contentOf(viewer.supportLocal + "/prefs"), "drive prefs");
}

} // namespace
