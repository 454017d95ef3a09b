#include "base/Subprocess.h"
#include "platform/linux/MountTable.h"
#include "services/LedgerService.h"
#include "support/Wait.h"
#include "volumes/VolumeManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

// Real drives for the real Linux backend: the test runs itself again under `unshare --mount`,
// and only that child, in its private mount namespace, mounts anything. The machine's own
// mounts are never touched.

namespace {

const char *insideVariable = "KORVANTHELIX_PRIVATE_MOUNT_NAMESPACE";
const QString testName = QStringLiteral("VolumeIntegrationTest.RealDrivesInAPrivateNamespace");

QString tool(const char *name)
{
    for (const char *folder : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        const QString path = QString::fromLatin1(folder) + QString::fromLatin1(name);
        if (::access(path.toLocal8Bit().constData(), X_OK) == 0)
            return path;
    }
    return {};
}

bool isMounted(const QString &mountPoint)
{
    const std::optional<QList<MountEntry>> table = MountTable::read();
    return table && MountTable::at(*table, mountPoint).has_value();
}

std::optional<TargetVolume> listed(const VolumeManager &manager, const QString &path)
{
    for (const TargetVolume &volume : manager.availableVolumes()) {
        if (volume.url.toLocalFile() == path)
            return volume;
    }
    return std::nullopt;
}

qint64 statvfsTotal(const QString &path)
{
    struct statvfs info
    {};
    if (::statvfs(path.toLocal8Bit().constData(), &info) != 0)
        return -1;
    return qint64(info.f_blocks) * qint64(info.f_frsize);
}

bool mountTmpfs(const QString &path, const char *options)
{
    QDir().mkpath(path);
    return ::mount("tmpfs", path.toLocal8Bit().constData(), "tmpfs", 0, options) == 0;
}

// The body, run only inside the private mount namespace.
void exerciseRealDrives()
{
    // Belt and braces: nothing mounted here may reach the machine's namespace.
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    QDir().mkpath(QStringLiteral("/Volumes"));
    // A read-only tmpfs over /Volumes holds the mount points, so no folder is left on the
    // machine's disk; being read-only, it is no drive itself.
    if (!mountTmpfs(QStringLiteral("/Volumes"), "size=1m,mode=755"))
        GTEST_SKIP() << "mounting is not permitted here";
    ASSERT_TRUE(QDir().mkpath(QStringLiteral("/Volumes/Scratch")));
    ASSERT_TRUE(QDir().mkpath(QStringLiteral("/Volumes/Disk")));
    ASSERT_TRUE(QDir().mkpath(QStringLiteral("/Volumes/Late")));
    ASSERT_EQ(::mount(nullptr, "/Volumes", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);

    ASSERT_TRUE(mountTmpfs(QStringLiteral("/Volumes/Scratch"), "size=64m"));
    QTemporaryDir images;
    const QString image = images.filePath(QStringLiteral("disk.img"));
    {
        QFile file(image);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(32 * 1024 * 1024));
    }
    const SubprocessResult formatted = Subprocess::run(
        tool("mkfs.ext4"), {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-L"),
                            QStringLiteral("Backup Disk"), image});
    ASSERT_TRUE(formatted.succeeded()) << formatted.failureText().toStdString();
    const SubprocessResult mounted =
        Subprocess::run(tool("mount"), {QStringLiteral("-o"), QStringLiteral("loop"), image,
                                        QStringLiteral("/Volumes/Disk")});
    if (!mounted.succeeded())
        GTEST_SKIP() << "loop devices are not available: " << mounted.failureText().toStdString();

    LedgerService ledger;
    VolumeManager manager(&ledger);
    drainEvents();

    const std::optional<TargetVolume> scratch = listed(manager, QStringLiteral("/Volumes/Scratch"));
    const std::optional<TargetVolume> disk = listed(manager, QStringLiteral("/Volumes/Disk"));
    ASSERT_TRUE(scratch);
    ASSERT_TRUE(disk);
    EXPECT_FALSE(listed(manager, QStringLiteral("/Volumes")));
    EXPECT_EQ(scratch->name, QStringLiteral("Scratch"));
    EXPECT_EQ(scratch->fileSystemType, QStringLiteral("TMPFS"));
    EXPECT_EQ(scratch->totalBytes, 64 * 1024 * 1024);
    EXPECT_TRUE(scratch->supportsSymlinks);
    EXPECT_EQ(disk->name, QStringLiteral("Backup Disk"));
    EXPECT_EQ(disk->fileSystemType, QStringLiteral("EXT4"));
    EXPECT_EQ(disk->totalBytes, statvfsTotal(QStringLiteral("/Volumes/Disk")));
    EXPECT_GT(disk->freeBytes, 0);
    EXPECT_LE(disk->freeBytes, disk->totalBytes);
    // A loop device stands where a disk image would: external, so it can be ejected.
    EXPECT_TRUE(disk->isRemovable);
    EXPECT_TRUE(disk->isWritable);

    ASSERT_TRUE(mountTmpfs(QStringLiteral("/Volumes/Late"), "size=8m"));
    EXPECT_TRUE(waitUntil([&] {
        return listed(manager, QStringLiteral("/Volumes/Late")).has_value();
    })) << "the new mount was not noticed";

    SubprocessOptions inDrive;
    inDrive.workingDirectory = QStringLiteral("/Volumes/Disk");
    auto sleeper = std::make_unique<Subprocess>(QStringLiteral("/bin/sleep"),
                                                QStringList{QStringLiteral("600")}, inDrive);
    ASSERT_TRUE(sleeper->start());
    QFuture<EjectResult> eject = manager.safelyEject(*disk);
    ASSERT_TRUE(waitFor(eject, 60000));
    EXPECT_EQ(eject.result().errorMessage,
              QStringLiteral("Cannot safely eject \"Backup Disk\" while these apps have open "
                             "files on the drive: sleep. Close them first."));
    EXPECT_TRUE(isMounted(QStringLiteral("/Volumes/Disk")));

    sleeper->terminate();
    (void)sleeper->waitForFinished();
    sleeper.reset();
    eject = manager.safelyEject(*disk);
    ASSERT_TRUE(waitFor(eject, 60000));
    EXPECT_EQ(eject.result(), (EjectResult{true, std::nullopt}))
        << eject.result().errorMessage.value_or(QString()).toStdString();
    EXPECT_FALSE(isMounted(QStringLiteral("/Volumes/Disk")));
    EXPECT_TRUE(
        waitUntil([&] { return !listed(manager, QStringLiteral("/Volumes/Disk")).has_value(); }));
    EXPECT_TRUE(listed(manager, QStringLiteral("/Volumes/Scratch")));
}

TEST(VolumeIntegrationTest, RealDrivesInAPrivateNamespace)
{
    if (qEnvironmentVariableIsSet(insideVariable)) {
        exerciseRealDrives();
        return;
    }
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting drives needs root";
    const QString unshare = tool("unshare");
    if (unshare.isEmpty() || tool("mkfs.ext4").isEmpty() || tool("lsof").isEmpty() ||
        tool("mount").isEmpty())
        GTEST_SKIP() << "needs unshare, mount, mkfs.ext4 and lsof";
    const QStringList inNamespace = {QStringLiteral("--mount"), QStringLiteral("--propagation"),
                                     QStringLiteral("private")};
    if (!Subprocess::run(unshare, inNamespace + QStringList{QStringLiteral("/bin/true")})
             .succeeded())
        GTEST_SKIP() << "no private mount namespace can be made here";

    // The child needs a /Volumes folder to mount over; one made for it is removed again, so
    // the program on this machine keeps looking for drives where it did before.
    const bool volumesExisted = QFileInfo::exists(QStringLiteral("/Volumes"));
    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(insideVariable), QStringLiteral("1"));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
    SubprocessOptions options;
    options.environment = environment.toStringList();
    options.timeLimit = std::chrono::minutes(3);
    const SubprocessResult child =
        Subprocess::run(unshare,
                        inNamespace + QStringList{QCoreApplication::applicationFilePath(),
                                                  QStringLiteral("--gtest_filter=") + testName},
                        options);
    if (!volumesExisted)
        QDir().rmdir(QStringLiteral("/Volumes"));
    const std::string output = QString(child.outputText() + child.errorText()).toStdString();
    if (child.succeeded() && child.outputText().contains(QLatin1String("[  SKIPPED ]")))
        GTEST_SKIP() << output;
    EXPECT_TRUE(child.succeeded()) << output;
    EXPECT_TRUE(child.outputText().contains(QLatin1String("[  PASSED  ] 1 test"))) << output;
}

} // namespace
