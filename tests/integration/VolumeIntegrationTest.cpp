#include "base/Subprocess.h"
#include "services/LedgerService.h"
#include "support/PrivateMounts.h"
#include "support/Wait.h"
#include "volumes/VolumeManager.h"

#include <QCoreApplication>
#include <QDir>
#include <gtest/gtest.h>
#include <sys/statvfs.h>

namespace {

using PrivateMounts::isMounted;

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

// The body, run only inside the private mount namespace.
void exerciseRealDrives()
{
    if (!PrivateMounts::prepareVolumesRoot(
            {QStringLiteral("Scratch"), QStringLiteral("Disk"), QStringLiteral("Late")}))
        GTEST_SKIP() << "mounting is not permitted here";
    ASSERT_TRUE(
        PrivateMounts::mountTmpfs(QStringLiteral("/Volumes/Scratch"), QStringLiteral("size=64m")));
    QString why;
    if (!PrivateMounts::mountExt4(QStringLiteral("/Volumes/Disk"), QStringLiteral("Backup Disk"),
                                  32, &why))
        GTEST_SKIP() << why.toStdString();

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

    ASSERT_TRUE(
        PrivateMounts::mountTmpfs(QStringLiteral("/Volumes/Late"), QStringLiteral("size=8m")));
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

// A writable file system on the volumes root itself, as some setups mount one there: the
// drives below it are listed, the root never.
void exerciseWritableVolumesRoot()
{
    if (!PrivateMounts::mountTmpfs(QStringLiteral("/Volumes"), QStringLiteral("size=4m")))
        GTEST_SKIP() << "mounting is not permitted here";
    ASSERT_TRUE(
        PrivateMounts::mountTmpfs(QStringLiteral("/Volumes/Scratch"), QStringLiteral("size=8m")));

    LedgerService ledger;
    VolumeManager manager(&ledger);
    drainEvents();
    EXPECT_TRUE(listed(manager, QStringLiteral("/Volumes/Scratch")));
    EXPECT_FALSE(listed(manager, QStringLiteral("/Volumes")));
}

TEST(VolumeIntegrationTest, TheVolumesRootIsNeverADrive)
{
    if (PrivateMounts::enter())
        exerciseWritableVolumesRoot();
}

TEST(VolumeIntegrationTest, RealDrivesInAPrivateNamespace)
{
    if (PrivateMounts::tool("lsof").isEmpty())
        GTEST_SKIP() << "needs lsof";
    if (PrivateMounts::enter())
        exerciseRealDrives();
}

} // namespace
