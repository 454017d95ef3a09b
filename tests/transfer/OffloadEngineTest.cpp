#include "transfer/OffloadEngine.h"
#include "model/AppItem.h"
#include "model/TargetVolume.h"
#include "support/FileHolder.h"
#include "support/Sandbox.h"
#include "support/Wait.h"
#include "transfer/OffloadFileOps.h"
#include "transfer/TreeUsers.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace {

TEST(OffloadEngine, CancelRequestStaysUntilTheNextReset)
{
    OffloadEngine engine;
    engine.setProgress({QStringLiteral("Foo"), QStringLiteral("Copying"), 0.4, false, {}});

    engine.cancelCurrentOperation();
    EXPECT_TRUE(engine.isCancelRequested());
    EXPECT_FALSE(engine.isCancelling()); // published through the event queue
    drainEvents();
    EXPECT_TRUE(engine.isCancelling());
    EXPECT_EQ(engine.progress(),
              (OffloadProgress{QStringLiteral("Foo"),
                               QStringLiteral("Cancelling operation and cleaning up staging "
                                              "files..."),
                               0.4,
                               false,
                               {}}));

    engine.resetCancellationState();
    EXPECT_FALSE(engine.isCancelRequested());
    drainEvents();
    EXPECT_FALSE(engine.isCancelling());
}

TEST(OffloadEngine, ProbeFollowsTheFlagAndAnswersFalseOnceTheEngineIsGone)
{
    auto engine = std::make_unique<OffloadEngine>();
    const auto probe = engine->makeCancelProbe();
    EXPECT_FALSE(probe());
    engine->cancelCurrentOperation();
    EXPECT_TRUE(probe());
    engine.reset();
    EXPECT_FALSE(probe());
}

// The app needs 500 bytes of selected support data plus the 524,288,000-byte buffer.
constexpr qint64 needed = 524'288'500;

struct PreflightCase
{
    const char *name;
    const char *protectedReason; // nullptr: not protected; "": protected without a reason
    bool running;
    bool writable;
    const char *format;
    qint64 freeBytes;
    int code;            // 0: passes
    const char *message; // "{root}" stands for the sandbox's root
    // The target below the sandbox's root, made as a folder; "link->folder" makes the folder
    // and a link to it. Nothing: the drive.
    const char *place = nullptr;
    // The application's place below /Applications.
    const char *app = "Foo.app";
    // "link->folder": a link below the target to a folder below the sandbox's root, made.
    const char *linkInside = nullptr;
};

class Preflight : public ::testing::TestWithParam<PreflightCase>
{};

TEST_P(Preflight, FirstFailedCheckDecides)
{
    const PreflightCase &c = GetParam();
    Sandbox sandbox;
    AppItem app{.url = QUrl::fromLocalFile(sandbox.applications() + QLatin1Char('/') +
                                           QString::fromUtf8(c.app)),
                .name = QStringLiteral("Foo")};
    app.isProtected = c.protectedReason != nullptr;
    if (c.protectedReason && *c.protectedReason)
        app.protectedReason = QString::fromUtf8(c.protectedReason);
    app.isRunning = c.running;
    for (const bool selected : {true, false}) {
        SupportFolder folder;
        folder.size = selected ? 500 : 9999;
        folder.isSelected = selected;
        app.supportFolders.append(folder);
    }
    QString place = sandbox.drive();
    if (c.place) {
        const QStringList parts = QString::fromUtf8(c.place).split(QStringLiteral("->"));
        place = sandbox.makeFolder(sandbox.path(parts.last()));
        if (parts.size() == 2)
            place = sandbox.makeSymlink(sandbox.path(parts.first()), place);
    }
    if (c.linkInside) {
        const QStringList parts = QString::fromUtf8(c.linkInside).split(QStringLiteral("->"));
        sandbox.makeSymlink(place + QLatin1Char('/') + parts.first(),
                            sandbox.makeFolder(sandbox.path(parts.last())));
    }
    const TargetVolume target{.url = QUrl::fromLocalFile(place),
                              .name = QStringLiteral("Drive"),
                              .freeBytes = c.freeBytes,
                              .isWritable = c.writable,
                              .fileSystemType = QString::fromUtf8(c.format),
                              .supportsSymlinks = true};
    OffloadEngine engine;
    try {
        engine.validateOffloadPreflight(app, target);
        EXPECT_EQ(c.code, 0);
    } catch (const OperationError &error) {
        EXPECT_EQ(error.domain(), QStringLiteral("OffloadEngine"));
        EXPECT_EQ(error.code(), c.code);
        EXPECT_EQ(error.message(),
                  QString::fromUtf8(c.message).replace(QStringLiteral("{root}"), sandbox.root()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    OffloadEngine, Preflight,
    ::testing::Values(
        PreflightCase{"ExactSpacePasses", nullptr, false, true, "APFS", needed, 0, ""},
        PreflightCase{"ProtectedAndRunning", "Core system app", true, true, "APFS", needed, 201,
                      "Cannot offload protected application: Core system app"},
        PreflightCase{"ProtectedWithoutReason", "", false, true, "APFS", needed, 201,
                      "Cannot offload protected application: System policy"},
        PreflightCase{"RunningOnReadOnlyTarget", nullptr, true, false, "APFS", needed, 202,
                      "Application 'Foo' is currently running. Please quit it before offloading."},
        PreflightCase{"ReadOnly", nullptr, false, false, "APFS", needed, 203,
                      "Target volume 'Drive' is read-only or not writable."},
        PreflightCase{"OneByteShort", nullptr, false, true, "APFS", needed - 1, 204,
                      "Insufficient free space on 'Drive'. Requires 524.3 MB (including 500 MB "
                      "buffer), but only 524.3 MB is available."},
        PreflightCase{"IncompatibleNeverReportsSpace", nullptr, false, true, "NTFS", 0, 205,
                      "Target drive 'Drive' (NTFS) is not compatible with macOS apps: NTFS drives "
                      "are read-only on macOS and cannot host macOS applications."},
        PreflightCase{"IncompatibleWithoutReason", nullptr, false, true, "nfs", needed, 205,
                      "Target drive 'Drive' (nfs) is not compatible with macOS apps: "
                      "Incompatible filesystem format."},
        // Copies the restore would refuse, whatever else the target offers.
        PreflightCase{"FolderOnADriveOutsideTheVolumesRoot", nullptr, false, true, "APFS", needed,
                      208,
                      "Target 'Drive' cannot be used: the folder '{root}/mnt/usb/Apps' is not on "
                      "a drive in '{root}/Volumes', so nothing copied there could be restored.",
                      "mnt/usb/Apps"},
        PreflightCase{"TheVolumesRootItself", nullptr, false, false, "APFS", needed, 208,
                      "Target 'Drive' cannot be used: the folder '{root}/Volumes' is not on a "
                      "drive in '{root}/Volumes', so nothing copied there could be restored.",
                      "Volumes"},
        PreflightCase{"LinkOnTheDriveLeadingOutside", nullptr, false, true, "APFS", needed, 208,
                      "Target 'Drive' cannot be used: the folder '{root}/Volumes/Drive/Apps' (a "
                      "link leads it to '{root}/mnt/usb') is not on a drive in '{root}/Volumes', "
                      "so nothing copied there could be restored.",
                      "Volumes/Drive/Apps->mnt/usb"},
        PreflightCase{"FolderOnTheDrive", nullptr, false, true, "APFS", needed, 0, "",
                      "Volumes/Drive/Backups"},
        // An application from a subfolder goes through that folder on the target.
        PreflightCase{"SubfolderLinkedOffTheDrive", nullptr, false, true, "APFS", needed, 208,
                      "Target 'Drive' cannot be used: the folder "
                      "'{root}/Volumes/Drive/Applications/Utilities' (a link leads it to "
                      "'{root}/mnt/usb') lies outside the \"Applications\" folder of a drive in "
                      "'{root}/Volumes', so nothing copied there could be restored.",
                      nullptr, "Utilities/Foo.app", "Applications/Utilities->mnt/usb"},
        PreflightCase{"DeeperSubfolderLinkedElsewhereOnTheDrive", nullptr, false, true, "APFS",
                      needed, 208,
                      "Target 'Drive' cannot be used: the folder "
                      "'{root}/Volumes/Drive/Applications/Utilities/Tools' (a link leads it to "
                      "'{root}/Volumes/Drive/Other') lies outside the \"Applications\" folder of a "
                      "drive in '{root}/Volumes', so nothing copied there could be restored.",
                      nullptr, "Utilities/Tools/Foo.app",
                      "Applications/Utilities/Tools->Volumes/Drive/Other"},
        PreflightCase{"SubfolderLinkedWithinTheDrivesApplications", nullptr, false, true, "APFS",
                      needed, 0, "", nullptr, "Utilities/Foo.app",
                      "Applications/Utilities->Volumes/Drive/Applications/Tools"}),
    [](const auto &info) { return std::string(info.param.name); });

// An unplugged drive leaves its mount point behind as a folder of the Mac's own disk (or takes
// it away): folders are made only below a target that is there.
struct FolderCase
{
    const char *name;
    const char *root;   // below the sandbox's drive folder; "-": a drive folder that is gone
    const char *folder; // below the drive folder
    bool made;
};

class MakeFolder : public ::testing::TestWithParam<FolderCase>
{};

TEST_P(MakeFolder, CreatesNothingAtOrAboveTheTarget)
{
    const FolderCase &c = GetParam();
    Sandbox sandbox;
    const QString drive =
        *c.root == '-' ? sandbox.volumesRoot() + QStringLiteral("/Gone") : sandbox.drive();
    const QString root = drive + QString::fromLatin1(c.root).remove(QLatin1Char('-'));
    const QString folder = drive + QString::fromLatin1(c.folder);
    sandbox.mountDrive(drive);
    TargetVolume target;
    target.url = QUrl::fromLocalFile(root);
    target.fileSystem = FileSystemIdentity::of(root);
    OffloadFileOps ops;
    bool threw = false;
    try {
        ops.makeFolder(folder, target);
    } catch (const OperationError &) {
        threw = true;
    }
    EXPECT_EQ(threw, !c.made);
    EXPECT_EQ(PathUtils::isDirectory(folder), c.made);
    EXPECT_EQ(PathUtils::existsNoFollow(drive), *c.root != '-');
}

INSTANTIATE_TEST_SUITE_P(
    OffloadFileOps, MakeFolder,
    ::testing::Values(FolderCase{"BelowTheTarget", "", "/Applications/Utilities", true},
                      FolderCase{"TheTargetItself", "", "", true},
                      FolderCase{"TargetGone", "-", "/Applications", false},
                      FolderCase{"MissingFolderChosenOnTheDrive", "/Chosen", "/Chosen/Apps", false},
                      FolderCase{"OutsideTheTarget", "", "/../Elsewhere", false}),
    [](const auto &info) { return std::string(info.param.name); });

// Who may still change a tree, as the kernel tells it: whatever name or link leads to a file of
// it, and whatever a mapping's present protection. The tree holds plain.db, "notes (deleted)" and
// Cache/blob; `hold` starts what uses it ({tree} is its path, {outside} a folder beside it).
struct TreeLookCase
{
    const char *name;
    const char *tree; // below the user's Application Support folder
    std::function<std::shared_ptr<FileHolder>(const QString &tree, const QString &outside)> hold;
    const char *told; // "": nobody may change it; {pid} is the holder's, {tree} the tree
    // The platform's answer in place of the machine's.
    std::function<std::optional<FileUsers>(const QString &tree)> answer = {};
    const char *note = "";
    // The look is made by an ordinary user, of what the administrator made.
    bool byAnOrdinaryUser = false;
};

std::function<std::shared_ptr<FileHolder>(const QString &, const QString &)>
holding(const char *file, FileHolder::Hold how)
{
    return [=](const QString &tree, const QString &) {
        return std::make_shared<FileHolder>(tree + QLatin1Char('/') + QString::fromUtf8(file), how);
    };
}

class TreeLook : public ::testing::TestWithParam<TreeLookCase>
{};

// What the look at `tree` tells an ordinary user, made in a child of the test. Where the
// administrator's `holder` uses the tree, what lies in it is taken as the administrator finds it,
// and the look must find nobody and name the holder among the processes it could not look into.
QString toldToAnOrdinaryUser(const QString &tree, const FileHolder *holder)
{
    const TreeItems items = holder ? treeItemsOf({tree}) : TreeItems();
    int told[2];
    if (::pipe(told) != 0)
        return QStringLiteral("no pipe");
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(told[0]);
        constexpr uid_t nobody = 65534;
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0)
            ::_exit(2);
        QByteArray text;
        if (holder) {
            const std::optional<FileUsers> users = platformUsersOf(items);
            if (!users || !users->uses.isEmpty() ||
                !users->uninspected.contains({holder->pid(), QStringLiteral("tests_transfer")}))
                text = "the holder was not named among the processes not looked into";
        } else {
            text = TreeUsers::of({tree}).told().toUtf8();
        }
        (void)::write(told[1], text.constData(), size_t(text.size()));
        ::_exit(0);
    }
    ::close(told[1]);
    QByteArray text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(told[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(chunk, got);
    }
    ::close(told[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? QString::fromUtf8(text)
                                                         : QStringLiteral("no look");
}

TEST_P(TreeLook, NamesEveryProcessThatMayStillChangeIt)
{
    const TreeLookCase &c = GetParam();
    if (c.byAnOrdinaryUser && ::geteuid() != 0)
        GTEST_SKIP() << "only the administrator can make what an ordinary user may not look into";
    Sandbox sandbox;
    const QString tree = sandbox.userSupport() + QLatin1Char('/') + QString::fromUtf8(c.tree);
    const QString outside = Sandbox::makeFolder(sandbox.path(QStringLiteral("outside")));
    Sandbox::writeFile(tree + QStringLiteral("/plain.db"), "plain");
    Sandbox::writeFile(tree + QStringLiteral("/notes (deleted)"), "notes");
    Sandbox::writeFile(tree + QStringLiteral("/Cache/blob"), "blob");
    std::shared_ptr<FileHolder> holder;
    if (c.hold) {
        holder = c.hold(tree, outside);
        ASSERT_TRUE(!holder || holder->isReady());
    }
    if (c.answer)
        sandbox.system().fakeEjectTools().setUsersOf(
            [&](const TreeItems &) { return c.answer(tree); });
    const QString told =
        QString::fromUtf8(c.told)
            .replace(QStringLiteral("{pid}"), QString::number(holder ? holder->pid() : 0))
            .replace(QStringLiteral("{tree}"), tree);
    if (c.byAnOrdinaryUser) {
        // The tree is the user's to read, what the test made below it aside.
        ASSERT_EQ(::chmod(QFile::encodeName(sandbox.root()).constData(), 0755), 0);
        EXPECT_EQ(toldToAnOrdinaryUser(tree, holder.get()), told);
        return;
    }
    const TreeUsers users = TreeUsers::of({tree});
    EXPECT_EQ(users.isEmpty(), told.isEmpty()) << users.told().toStdString();
    if (!told.isEmpty()) {
        EXPECT_EQ(users.told(), told);
    }
    EXPECT_EQ(users.uninspectedNote(),
              QString::fromUtf8(c.note).replace(QStringLiteral("{tree}"), tree));
}

INSTANTIATE_TEST_SUITE_P(
    TreeUsers, TreeLook,
    ::testing::Values(
        TreeLookCase{"WriterOfAFileNamedAsRemoved", "Foo",
                     holding("notes (deleted)", FileHolder::Hold::writes),
                     "'tests_transfer' (pid {pid}) is writing to 'notes (deleted)' in '{tree}'"},
        TreeLookCase{"ReadOnlySharedMapOfAFileOpenedForWriting", "Foo",
                     holding("plain.db", FileHolder::Hold::mapsReadOnly),
                     "'tests_transfer' (pid {pid}) has 'plain.db' in '{tree}' mapped into its "
                     "memory, where it can write to it"},
        TreeLookCase{"WriterThroughAHardLinkOutside", "Foo",
                     [](const QString &tree, const QString &outside) {
                         const QString link = outside + QStringLiteral("/link.db");
                         EXPECT_EQ(::link(QFile::encodeName(tree + "/plain.db").constData(),
                                          QFile::encodeName(link).constData()),
                                   0);
                         return std::make_shared<FileHolder>(link, FileHolder::Hold::writes);
                     },
                     "'tests_transfer' (pid {pid}) is writing to 'plain.db' in '{tree}'"},
        TreeLookCase{"WorkingFolderInside", "Foo", holding("Cache", FileHolder::Hold::worksIn),
                     "'tests_transfer' (pid {pid}) works in 'Cache' in '{tree}'"},
        TreeLookCase{"WriterInANonAsciiTree", "Café Data",
                     holding("plain.db", FileHolder::Hold::writes),
                     "'tests_transfer' (pid {pid}) is writing to 'plain.db' in '{tree}'"},
        TreeLookCase{"ProgramRunFromIt", "Foo",
                     [](const QString &tree, const QString &) {
                         const QString helper = tree + QStringLiteral("/Helpers/syncd");
                         QDir().mkpath(PathUtils::parentPath(helper));
                         EXPECT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), helper));
                         return std::make_shared<FileHolder>(FileHolder::running(helper));
                     },
                     "'syncd' (pid {pid}) runs from 'Helpers/syncd' in '{tree}'"},
        TreeLookCase{"Reader", "Foo", holding("plain.db", FileHolder::Hold::reads), ""},
        TreeLookCase{"WriterOfAFileRemovedOutside", "Foo",
                     [](const QString &, const QString &outside) {
                         const QString gone =
                             Sandbox::writeFile(outside + QStringLiteral("/gone.db"), "gone");
                         auto holder = std::make_shared<FileHolder>(gone, FileHolder::Hold::writes);
                         EXPECT_TRUE(QFile::remove(gone));
                         return holder;
                     },
                     ""},
        TreeLookCase{"AnotherUsersWriterAsAnOrdinaryUser",
                     "Foo",
                     holding("plain.db", FileHolder::Hold::writes),
                     "",
                     {},
                     "",
                     true},
        // A writer could hide in what cannot be listed.
        TreeLookCase{"AFolderInsideThatCannotBeListed",
                     "Foo",
                     [](const QString &tree, const QString &) {
                         EXPECT_EQ(::chmod(QFile::encodeName(tree + "/Cache").constData(), 0700),
                                   0);
                         return std::shared_ptr<FileHolder>();
                     },
                     "it could not be told whether a process is still using '{tree}': 'Cache' "
                     "could not be read",
                     {},
                     "",
                     true},
        // What could not be looked into is told beside the uses, and in a note of its own.
        TreeLookCase{
            "SomeCouldNotBeLookedInto",
            "Foo",
            {},
            "'Sync Agent' (pid 812) is writing to 'plain.db' in '{tree}', and Korvanthelix "
            "was not allowed to look into 4 other processes ('launchd', 'cupsd' and 1 "
            "more)",
            [](const QString &tree) {
                return FileUsers{{{812, QStringLiteral("Sync Agent"), FileUse::Kind::writes,
                                   tree + "/plain.db"}},
                                 {{1, QStringLiteral("launchd")},
                                  {90, QStringLiteral("cupsd")},
                                  {91, QStringLiteral("cupsd")},
                                  {92, QString()}}};
            },
            "Korvanthelix was not allowed to look into 4 processes ('launchd', 'cupsd' "
            "and 1 more), so it cannot tell whether one of them was still writing to "
            "'{tree}' when it was removed."},
        TreeLookCase{"OneCouldNotBeLookedInto",
                     "Foo",
                     {},
                     "",
                     [](const QString &) {
                         return FileUsers{{}, {{1, QStringLiteral("launchd")}}};
                     },
                     "Korvanthelix was not allowed to look into 1 process ('launchd'), so it "
                     "cannot tell whether it was still writing to '{tree}' when it was removed."},
        TreeLookCase{"ProcessesCouldNotBeListed",
                     "Foo",
                     {},
                     "it could not be told whether a process is still using '{tree}'",
                     [](const QString &) { return std::optional<FileUsers>(); }}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
