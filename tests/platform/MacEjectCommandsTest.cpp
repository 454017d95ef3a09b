#include "platform/macos/MacEjectCommands.h"
#include "platform/macos/MacProcessFiles.h"

#include "FakeDarwinCalls.h"

#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

TEST(MacEjectCommandsTest, BuildsTheExactCommandLines)
{
    const QString drive = QStringLiteral("/Volumes/My Drive");
    EXPECT_EQ(
        MacEjectCommands::unmount(drive, false),
        (QStringList{QStringLiteral("/usr/sbin/diskutil"), QStringLiteral("unmount"), drive}));
    EXPECT_EQ(MacEjectCommands::unmount(drive, true),
              (QStringList{QStringLiteral("/usr/sbin/diskutil"), QStringLiteral("unmount"),
                           QStringLiteral("force"), drive}));
    EXPECT_EQ(MacEjectCommands::eject(drive),
              (QStringList{QStringLiteral("/usr/sbin/diskutil"), QStringLiteral("eject"), drive}));
    EXPECT_EQ(MacEjectCommands::flushFileSystemBuffers(), QStringList{QStringLiteral("/bin/sync")});
    EXPECT_EQ(MacEjectCommands::listOpenFiles({QStringLiteral("-F"), QStringLiteral("pc")}),
              (QStringList{QStringLiteral("/usr/sbin/lsof"), QStringLiteral("-F"),
                           QStringLiteral("pc")}));
}

// libproc's answers about one process, read for whether it may still change a tree: files are
// told by their vnodes' identities alone.
struct LookCase
{
    const char *name;
    FakeDarwinCalls::ProcessFiles files;
    std::optional<QList<std::pair<FileUse::Kind, const char *>>> uses; // nothing: no answer
    bool uninspected = false;
    qint32 pid = 812;
    bool runsFromTheTree = false; // its executable is the tree's syncd
    bool listed = true;
};

constexpr quint32 regular = S_IFREG;
constexpr quint32 folder = S_IFDIR;
constexpr quint32 readOnly = 0x1;  // FREAD
constexpr quint32 readWrite = 0x3; // FREAD | FWRITE

DarwinRegion region(quint64 address, quint32 shareMode, std::optional<DarwinVnode> vnode)
{
    return {address, 0x4000, shareMode, vnode};
}

class MacProcessLook : public ::testing::TestWithParam<LookCase>
{};

TEST_P(MacProcessLook, TellsWhoMayStillChangeATree)
{
    const LookCase &c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString syncd = dir.filePath(QStringLiteral("syncd"));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), syncd));
    struct stat program
    {};
    ASSERT_EQ(::stat(QFile::encodeName(syncd).constData(), &program), 0);
    const QString tree = QStringLiteral("/Users/me/Library/Application Support/Sync");
    TreeItems items;
    items.paths = {{{7, 100}, tree + QStringLiteral("/index.db")},
                   {{7, 101}, tree + QStringLiteral("/Cache")},
                   {{7, 102}, tree + QStringLiteral("/Café Data/plain.db")},
                   {{quint64(program.st_dev), quint64(program.st_ino)},
                    tree + QStringLiteral("/Helpers/syncd")}};
    FakeDarwinCalls darwin;
    darwin.processesListed = c.listed;
    darwin.processFiles.insert(c.pid, c.files);
    darwin.processes.insert(c.pid, c.runsFromTheTree
                                       ? syncd
                                       : QStringLiteral("/Applications/Sync.app/Contents/MacOS/"
                                                        "Sync Agent"));
    // A process of no interest beside it.
    darwin.processFiles.insert(
        77, {0, QStringLiteral("mdworker_shared"), {{3, {readOnly, {7, 100, regular}}}}, {}, {}});

    std::optional<FileUsers> expected;
    if (c.uses) {
        expected.emplace();
        const QString process =
            c.runsFromTheTree ? QStringLiteral("syncd") : QStringLiteral("Sync Agent");
        for (const auto &[kind, file] : *c.uses)
            expected->uses.append(
                {c.pid, process, kind, tree + QLatin1Char('/') + QString::fromUtf8(file)});
        if (c.uninspected)
            expected->uninspected.append({c.pid, QStringLiteral("Sync Agent")});
    }
    EXPECT_EQ(MacProcessFiles::usersOf(darwin, items, 42), expected);
}

INSTANTIATE_TEST_SUITE_P(
    MacEjectTools, MacProcessLook,
    ::testing::Values(
        LookCase{"WritableDescriptor",
                 {0, {}, {{5, {readWrite, {7, 100, regular}}}}, {}, {}},
                 {{{FileUse::Kind::writes, "index.db"}}}},
        LookCase{"WriteOnlyDescriptorOfANonAsciiName",
                 {0, {}, {{5, {0x2, {7, 102, regular}}}}, {}, {}},
                 {{{FileUse::Kind::writes, "Café Data/plain.db"}}}},
        LookCase{"ReadOnlyDescriptor", {0, {}, {{5, {readOnly, {7, 100, regular}}}}, {}, {}}, {{}}},
        // The same inode number on another device is another file.
        LookCase{"WritableDescriptorOfAnotherDevice",
                 {0, {}, {{5, {readWrite, {8, 100, regular}}}}, {}, {}},
                 {{}}},
        LookCase{"DescriptorOfAFolder",
                 {0, {}, {{6, {readOnly, {7, 101, folder}}}}, {}, {}},
                 {{{FileUse::Kind::worksIn, "Cache"}}}},
        // Every region is walked to, however many lie before.
        LookCase{
            "SharedRegionsPastPrivateOnes",
            {0,
             {},
             {},
             {region(0x1000, DarwinValues::copiedOnWrite, DarwinVnode{7, 100, regular}),
              region(0x8000, DarwinValues::privateRegion, DarwinVnode{7, 100, regular}),
              region(0x10000, 4 /* SM_SHARED */, std::nullopt),
              region(0x20000, 5 /* SM_TRUESHARED */, DarwinVnode{7, 102, regular}),
              region(0x30000, 7 /* SM_SHARED_ALIASED */, DarwinVnode{7, 100, regular})},
             {}},
            {{{FileUse::Kind::maps, "Café Data/plain.db"}, {FileUse::Kind::maps, "index.db"}}}},
        LookCase{"PrivateRegionsOnly",
                 {0,
                  {},
                  {},
                  {region(0x1000, DarwinValues::copiedOnWrite, DarwinVnode{7, 100, regular}),
                   region(0x8000, DarwinValues::privateRegion, DarwinVnode{7, 102, regular}),
                   region(0x10000, DarwinValues::privateAliased, DarwinVnode{7, 100, regular}),
                   region(0x20000, DarwinValues::emptyRegion, std::nullopt)},
                  {}},
                 {{}}},
        LookCase{"WorkingFolder",
                 {0, {}, {}, {}, {DarwinVnode{7, 101, folder}, DarwinVnode{1, 2, folder}}},
                 {{{FileUse::Kind::worksIn, "Cache"}}}},
        LookCase{"Executable", {}, {{{FileUse::Kind::runs, "Helpers/syncd"}}}, false, 812, true},
        LookCase{
            "NotAllowedToLookInto",
            {EPERM, QStringLiteral("Sync Agent"), {{5, {readWrite, {7, 100, regular}}}}, {}, {}},
            {{}},
            true},
        LookCase{
            "EndedMeanwhile", {ESRCH, {}, {{5, {readWrite, {7, 100, regular}}}}, {}, {}}, {{}}},
        LookCase{
            "ThisProcess", {0, {}, {{5, {readWrite, {7, 100, regular}}}}, {}, {}}, {{}}, false, 42},
        LookCase{"ProcessesCannotBeListed",
                 {0, {}, {{5, {readWrite, {7, 100, regular}}}}, {}, {}},
                 std::nullopt,
                 false,
                 812,
                 false,
                 false}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
