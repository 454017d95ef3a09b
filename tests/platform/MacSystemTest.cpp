#include "platform/macos/MacSystem.h"

#include "FakeDarwinCalls.h"
#include "base/PathUtils.h"
#include "support/OpenFileLimit.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <climits>
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
    // Uncompressed: a compressed copy's bytes could not be read back from the drive.
    EXPECT_EQ(system.copyToolArguments("/a", "/b"),
              (QStringList{"/usr/bin/ditto", "--nopreserveHFSCompression", "/a", "/b"}));
    EXPECT_EQ(system.copyToolHabits(),
              (CopyToolHabits{.keepsSocketsAndPipes = false, .skipsRemovedWhileOpenNames = true}));
    // -x: a disk image mounted in the tree is not entered.
    EXPECT_EQ(system.treeRemovalCommand(), "/bin/rm -rfx --");
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

// What stands in the flush's way.
enum class Snag {
    none,
    thirdPushFails,
    itemGone,         // an item written is no longer there to be looked at
    noDescriptorLeft, // no item can be opened
    pathTooLong,      // a folder of the copy lies deeper than a path can name
    compressedFile,   // a file's bytes lie in its resource fork
    goneFromACopy,    // files listed are removed before their push
    goneFromKeptTree, // the same in a tree that was only read, by its own program
    folderBecameFile, // in a tree only read, a folder listed is a file by its push
    folderBecameLink, // the same, a link to a folder
};

bool inKeptTree(Snag snag)
{
    return snag == Snag::goneFromKeptTree || snag == Snag::folderBecameFile ||
           snag == Snag::folderBecameLink;
}

struct FlushCase
{
    const char *name;
    bool asCopy; // the tree was copied (else only renamed into place)
    Snag snag;
    int error;         // what the flush answers
    QStringList inner; // what inside the tree must be pushed, relative to it
};

// Folders below `folder` until their path is longer than any path may be; made one step at a
// time, relative to the one before, their inodes appended to `inodes`. The deepest is removed
// with `rm`, which walks it the same way.
void makeTooDeepFolder(const QString &folder, QList<qint64> &inodes)
{
    int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const QByteArray name(200, 'd');
    for (qsizetype length = folder.size(); fd >= 0 && length <= PATH_MAX; length += 201) {
        const int next = ::mkdirat(fd, name.constData(), 0755) == 0
                             ? ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                             : -1;
        ::close(fd);
        fd = next;
        struct stat info
        {};
        if (fd >= 0 && ::fstat(fd, &info) == 0)
            inodes.append(qint64(info.st_ino));
    }
    ASSERT_GE(fd, 0);
    ::close(fd);
}

class MacStorageFlush : public ::testing::TestWithParam<FlushCase>
{};

// Each item written is pushed on its own, with its own result, and only then does the drive
// empty its cache, once: sync() and a full flush of one descriptor reach no other file. An item
// that cannot be looked at or opened is not skipped: what it holds would stay unpushed.
TEST_P(MacStorageFlush, PushesEachItemThenTheDriveCacheOnce)
{
    const FlushCase &c = GetParam();
    const QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString drive = dir.path() + QStringLiteral("/Drive");
    const QString tree = drive + QStringLiteral("/Applications/Foo.app");
    ASSERT_TRUE(QDir().mkpath(tree + QStringLiteral("/Contents/MacOS")));
    for (const char *file : {"/Contents/Info.plist", "/Contents/MacOS/Foo"}) {
        QFile out(tree + QLatin1String(file));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("content");
    }
    ASSERT_TRUE(QFile::link(QStringLiteral("MacOS/Foo"), tree + QStringLiteral("/Contents/Link")));
    auto darwin = std::make_shared<FakeDarwinCalls>();
    MacStorage storage(darwin);
    StorageWrites written;
    (inKeptTree(c.snag) ? written.kept : c.asCopy ? written.copies : written.items).append(tree);
    const QString fork = dir.path() + QStringLiteral("/Foo.rsrc");
    QList<qint64> deepFolders;
    // Qt's own removal cannot reach that deep; rm walks it one folder at a time.
    struct DeepTree
    {
        QString tree;
        ~DeepTree()
        {
            if (!tree.isEmpty())
                QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), tree});
        }
    } deepTree;
    std::atomic<bool> removed = false;
    switch (c.snag) {
    case Snag::none:
    case Snag::noDescriptorLeft:
        break;
    case Snag::thirdPushFails:
        darwin->failSyncNumber(3);
        break;
    case Snag::itemGone:
        written.items.append(tree + QStringLiteral("/Contents/Gone"));
        break;
    case Snag::pathTooLong:
        makeTooDeepFolder(tree + QStringLiteral("/Contents"), deepFolders);
        deepTree.tree = tree;
        break;
    case Snag::goneFromACopy:
    case Snag::goneFromKeptTree:
    case Snag::folderBecameFile:
    case Snag::folderBecameLink: {
        // More files than one batch pushes: those of the next, and the folder beside them, are
        // listed, not yet opened, when the first push removes or replaces them.
        const QString many = tree + QStringLiteral("/Contents/Many");
        ASSERT_TRUE(QDir().mkpath(many + QStringLiteral("/Sub")));
        for (int i = 0; i < 300; ++i)
            QFile(many + QStringLiteral("/n%1").arg(i)).open(QIODevice::WriteOnly);
        darwin->failWhere(
            [&removed, many, snag = c.snag](const QString &call, const QString &, int) {
                if (call != QLatin1String("sync") || removed.exchange(true))
                    return 0;
                const QString sub = many + QStringLiteral("/Sub");
                if (snag == Snag::folderBecameFile) {
                    QDir(sub).removeRecursively();
                    QFile(sub).open(QIODevice::WriteOnly);
                } else if (snag == Snag::folderBecameLink) {
                    QDir(sub).removeRecursively();
                    QFile::link(QStringLiteral("../MacOS"), sub);
                } else {
                    for (const QString &name : QDir(many).entryList({QStringLiteral("n*")}))
                        QFile::remove(many + QLatin1Char('/') + name);
                }
                return 0;
            });
        break;
    }
    case Snag::compressedFile:
        QFile(fork).open(QIODevice::WriteOnly);
        darwin->compress(tree + QStringLiteral("/Contents/MacOS/Foo"), fork);
        break;
    }

    const std::unique_ptr<Storage::Watch> watch = storage.watch(drive);
    int err = 0;
    if (c.snag == Snag::noDescriptorLeft) {
        const OpenFileLimit limit(OpenFileLimit::lowestFreeDescriptor());
        err = watch->flush(written);
    } else {
        err = watch->flush(written);
    }
    const QList<StorageCall> calls = darwin->storageCalls();

    EXPECT_EQ(err, c.error);
    if (c.error != 0) {
        EXPECT_TRUE(std::none_of(calls.cbegin(), calls.cend(), [](const StorageCall &call) {
            return call.call == QLatin1String("drive cache");
        }));
        return;
    }
    ASSERT_FALSE(calls.isEmpty());
    EXPECT_EQ(calls.last().call, QStringLiteral("drive cache"));
    if (inKeptTree(c.snag))
        return;
    QList<qint64> expected{inodeOf(tree), inodeOf(PathUtils::parentPath(tree))};
    for (const QString &inner : c.inner)
        expected.append(inodeOf(tree + inner));
    expected += deepFolders;
    if (c.snag == Snag::compressedFile)
        expected.append(inodeOf(fork));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(syncedInodes(calls), expected);
    ASSERT_FALSE(calls.isEmpty());
    EXPECT_EQ(calls.last(), (StorageCall{QStringLiteral("drive cache"), inodeOf(drive), 0, 0}));
    EXPECT_EQ(std::count_if(calls.cbegin(), calls.cend(),
                            [](const StorageCall &call) { return call.call != "sync"; }),
              1);
}

const QStringList wholeTree = {"/Contents", "/Contents/MacOS", "/Contents/Info.plist",
                               "/Contents/MacOS/Foo"};

INSTANTIATE_TEST_SUITE_P(
    MacSystemTest, MacStorageFlush,
    ::testing::Values(
        FlushCase{"ACopyEverythingInIt", true, Snag::none, 0, wholeTree},
        FlushCase{"ARenamedItemItselfAndItsFolder", false, Snag::none, 0, {}},
        FlushCase{"AFailedPushEndsTheFlush", true, Snag::thirdPushFails, EIO, {}},
        FlushCase{"AnItemGoneBeforeItsPush", false, Snag::itemGone, ENOENT, {}},
        FlushCase{"AnItemThatCannotBeOpened", false, Snag::noDescriptorLeft, EMFILE, {}},
        // Each entry is opened from its folder, so no path grows past what a Mac can name.
        FlushCase{"AFolderDeeperThanAPathReaches", true, Snag::pathTooLong, 0, wholeTree},
        FlushCase{"AFileGoneFromACopyBeforeItsPush", true, Snag::goneFromACopy, ENOENT, {}},
        // What its own program removes from a tree only read is no fault of the disk.
        FlushCase{"AFileGoneFromAKeptTreeBeforeItsPush", true, Snag::goneFromKeptTree, 0, {}},
        FlushCase{"AFolderOfAKeptTreeMadeAFile", true, Snag::folderBecameFile, 0, {}},
        FlushCase{"AFolderOfAKeptTreeMadeALink", true, Snag::folderBecameLink, 0, {}},
        FlushCase{"ACompressedFileWithItsResourceFork", true, Snag::compressedFile, 0, wholeTree}),
    [](const auto &info) { return std::string(info.param.name); });

// The drive keeps what its cache holds when it will not empty it: the flush goes on, and says
// so once.
TEST(MacSystemTest, AFullFlushRefusedIsToldOnce)
{
    const QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto darwin = std::make_shared<FakeDarwinCalls>();
    darwin->failWhere([](const QString &call, const QString &, int) {
        return call == QLatin1String("drive cache") ? ENOTSUP : 0;
    });
    const std::unique_ptr<Storage::Watch> watch = MacStorage(darwin).watch(dir.path());
    const StorageWrites written{{}, {dir.path()}};
    EXPECT_EQ(watch->flush(written), 0);
    EXPECT_EQ(watch->flush(written), 0);
    EXPECT_EQ(watch->takeNotices(),
              QStringList{QStringLiteral("The drive holding '") + dir.path() +
                          QStringLiteral("' refused to empty its own cache (F_FULLFSYNC: "
                                         "Operation not supported); what was written to it was "
                                         "pushed with fsync alone, which leaves that cache to "
                                         "the drive.")});
    EXPECT_EQ(watch->takeNotices(), QStringList());
    EXPECT_EQ(darwin->storageCalls().last().call, QStringLiteral("sync"));
}

struct EvictionCase
{
    const char *name;
    const char *failing; // the call that fails (nullptr: none), the second of its kind if more
    bool compressed;
    int result;
    QStringList calls; // made, in order
};

class MacStorageReadBack : public ::testing::TestWithParam<EvictionCase>
{};

// The pages the copy left in memory are invalidated, a range at a time, before anything is read;
// turning caching off afterwards would evict nothing. Any step that fails leaves pages that
// would answer the reads, and is said.
TEST_P(MacStorageReadBack, InvalidatesEveryPageFirstOrSaysWhyNot)
{
    const EvictionCase &c = GetParam();
    const QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/big");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const qint64 size = 2 * MacStorage::discardChunk + 4096;
    ASSERT_TRUE(file.resize(size)); // sparse: no disk space taken
    auto darwin = std::make_shared<FakeDarwinCalls>();
    if (c.failing) {
        darwin->failWhere([&c](const QString &call, const QString &, int earlier) {
            const bool several = call == QLatin1String("discard");
            return call == QLatin1String(c.failing) && earlier == (several ? 1 : 0) ? EIO : 0;
        });
    }
    if (c.compressed)
        darwin->compress(path, QString());

    EXPECT_EQ(MacStorage(darwin).readPastCache(file.handle()), c.result);

    const qint64 inode = inodeOf(path);
    QList<StorageCall> expected;
    qint64 discarded = 0;
    for (const QString &call : c.calls) {
        if (call == QLatin1String("discard")) {
            const qint64 length = std::min(MacStorage::discardChunk, size - discarded);
            expected.append({call, inode, 0, discarded, length});
            discarded += length;
        } else {
            expected.append({call, inode, 0, 0, 0});
        }
    }
    EXPECT_EQ(darwin->storageCalls(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    MacSystemTest, MacStorageReadBack,
    ::testing::Values(
        EvictionCase{"EveryRangeThenCachingOff",
                     nullptr,
                     false,
                     0,
                     {"sync", "discard", "discard", "discard", "uncached"}},
        EvictionCase{"AFailedPush", "sync", false, EIO, {"sync"}},
        EvictionCase{"AFailedInvalidation", "discard", false, EIO, {"sync", "discard", "discard"}},
        EvictionCase{"CachingLeftOn",
                     "uncached",
                     false,
                     EIO,
                     {"sync", "discard", "discard", "discard", "uncached"}},
        // Its bytes lie in a part only the kernel reads, from memory first.
        EvictionCase{"ACompressedFile", nullptr, true, ENOTSUP, {}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
