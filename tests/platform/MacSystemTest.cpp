#include "platform/macos/MacSystem.h"

#include "FakeDarwinCalls.h"
#include "base/PathUtils.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>

TEST(MacSystemTest, LocationsAreTheMacsOwn)
{
    MacSystem system(std::make_shared<FakeDarwinCalls>());
    const SystemPaths paths = system.paths();
    const QString home = QDir::homePath();
    EXPECT_EQ(paths.applicationFolders(), (QStringList{"/Applications", home + "/Applications"}));
    EXPECT_EQ(paths.supportRoots(),
              (QStringList{home + "/Library/Application Support", "/Library/Application Support"}));
    EXPECT_EQ(paths.volumesRoot, "/Volumes");
    EXPECT_EQ(paths.usersRoot, "/Users");
    EXPECT_EQ(paths.trash, home + "/.Trash");
    EXPECT_EQ(system.copyToolArguments("/a", "/b"), (QStringList{"/usr/bin/ditto", "/a", "/b"}));
}

TEST(MacSystemTest, LogEntriesGoToTheUnifiedLogWithTheirSeverity)
{
    auto darwin = std::make_shared<FakeDarwinCalls>();
    MacSystem system(darwin);
    system.systemLog().write("com.korvanthelix.app", "Offload", SystemLogSeverity::info,
                             "Offloaded 'Été.app'");
    system.systemLog().write("com.korvanthelix.app", "Volume", SystemLogSeverity::error,
                             "Eject failed");
    EXPECT_EQ(darwin->logged,
              (QStringList{"com.korvanthelix.app Offload notice Offloaded 'Été.app'",
                           "com.korvanthelix.app Volume error Eject failed"}));
}

// --- Flush and read-back on a Mac ---

namespace {

using StorageCall = FakeDarwinCalls::StorageCall;

qint64 inodeOf(const QString &path)
{
    struct stat info
    {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? qint64(info.st_ino) : -1;
}

QList<qint64> syncedInodes(const QList<StorageCall> &calls)
{
    QList<qint64> inodes;
    for (const StorageCall &call : calls) {
        if (call.call == QLatin1String("sync"))
            inodes.append(call.inode);
    }
    std::sort(inodes.begin(), inodes.end());
    return inodes;
}

struct FlushCase
{
    const char *name;
    bool asCopy;       // the tree was copied (else only renamed into place)
    int failingSync;   // 0: none fails
    QStringList inner; // what inside the tree must be pushed, relative to it
};

class MacStorageFlush : public ::testing::TestWithParam<FlushCase>
{};

// Each item written is pushed on its own, with its own result, and only then does the drive
// empty its cache, once: sync() and a full flush of one descriptor reach no other file.
TEST_P(MacStorageFlush, PushesEachItemThenTheDriveCacheOnce)
{
    const FlushCase &c = GetParam();
    const QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString tree = dir.path() + QStringLiteral("/Drive/Applications/Foo.app");
    ASSERT_TRUE(QDir().mkpath(tree + QStringLiteral("/Contents/MacOS")));
    for (const char *file : {"/Contents/Info.plist", "/Contents/MacOS/Foo"}) {
        QFile out(tree + QLatin1String(file));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("content");
    }
    ASSERT_TRUE(QFile::link(QStringLiteral("MacOS/Foo"), tree + QStringLiteral("/Contents/Link")));
    auto darwin = std::make_shared<FakeDarwinCalls>();
    darwin->failSyncNumber(c.failingSync);
    MacStorage storage(darwin);

    StorageWrites written;
    (c.asCopy ? written.copies : written.items).append(tree);
    const int err = storage.watch(dir.path() + QStringLiteral("/Drive"))->flush(written);
    const QList<StorageCall> calls = darwin->storageCalls();

    if (c.failingSync) {
        EXPECT_EQ(err, EIO);
        EXPECT_EQ(calls.last().call, QStringLiteral("sync"));
        return;
    }
    EXPECT_EQ(err, 0);
    QList<qint64> expected{inodeOf(tree), inodeOf(PathUtils::parentPath(tree))};
    for (const QString &inner : c.inner)
        expected.append(inodeOf(tree + inner));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(syncedInodes(calls), expected);
    ASSERT_FALSE(calls.isEmpty());
    EXPECT_EQ(calls.last(), (StorageCall{QStringLiteral("drive cache"),
                                         inodeOf(dir.path() + QStringLiteral("/Drive")), 0, 0}));
    EXPECT_EQ(std::count_if(calls.cbegin(), calls.cend(),
                            [](const StorageCall &call) { return call.call != "sync"; }),
              1);
}

INSTANTIATE_TEST_SUITE_P(
    MacSystemTest, MacStorageFlush,
    ::testing::Values(FlushCase{"ACopyEverythingInIt",
                                true,
                                0,
                                {"/Contents", "/Contents/MacOS", "/Contents/Info.plist",
                                 "/Contents/MacOS/Foo"}},
                      FlushCase{"ARenamedItemItselfAndItsFolder", false, 0, {}},
                      FlushCase{"AFailedPushEndsTheFlush", true, 3, {}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace

// The pages the copy left in memory are invalidated, a range at a time, before anything is read;
// turning caching off afterwards would evict nothing.
TEST(MacSystemTest, AReadPastTheCacheInvalidatesEveryPageFirst)
{
    const QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/big");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const qint64 size = 2 * MacStorage::discardChunk + 4096;
    ASSERT_TRUE(file.resize(size)); // sparse: no disk space taken
    auto darwin = std::make_shared<FakeDarwinCalls>();

    MacStorage(darwin).readPastCache(file.handle());

    const qint64 inode = inodeOf(path);
    EXPECT_EQ(
        darwin->storageCalls(),
        (QList<StorageCall>{{QStringLiteral("sync"), inode, 0, 0},
                            {QStringLiteral("discard"), inode, 0, 0},
                            {QStringLiteral("discard"), inode, 0, MacStorage::discardChunk},
                            {QStringLiteral("discard"), inode, 0, 2 * MacStorage::discardChunk},
                            {QStringLiteral("uncached"), inode, 0, 0}}));
}
