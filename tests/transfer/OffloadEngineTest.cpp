#include "transfer/OffloadEngine.h"
#include "model/AppItem.h"
#include "model/TargetVolume.h"
#include "support/Sandbox.h"
#include "support/Wait.h"
#include "transfer/OffloadFileOps.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"

#include <functional>
#include <gtest/gtest.h>
#include <tuple>

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

} // namespace
