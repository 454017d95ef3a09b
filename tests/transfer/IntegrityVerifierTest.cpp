#include "transfer/IntegrityVerifier.h"
#include "base/Sha256.h"
#include "base/Subprocess.h"
#include "platform/FakeDarwinCalls.h"
#include "platform/macos/MacStorage.h"
#include "support/BundleBuilder.h"
#include "support/FakeTool.h"
#include "support/FaultyStorage.h"
#include "support/OpenFileLimit.h"
#include "support/Sandbox.h"

#include <QFile>
#include <QThreadPool>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <openssl/crypto.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A bundle with a versioned framework (relative links), a hidden file and a resource just
// over one read chunk, and a faithful copy of it.
struct Trees
{
    Sandbox sandbox;
    QString src;
    QString dst = sandbox.path(QStringLiteral("dst/Foo.app"));

    explicit Trees(const char *app = "Foo.app")
        : src(sandbox.path(QStringLiteral("src/") + QString::fromUtf8(app)))
    {
        BundleBuilder(src)
            .framework(QStringLiteral("Core"))
            .file(QStringLiteral("Resources/a.png"), "png")
            .file(QStringLiteral("Resources/big.dat"),
                  QByteArray(int(IntegrityVerifier::chunkSize) + 10, 'x'))
            .file(QStringLiteral(".hidden"), "h")
            .build();
        sandbox.makeFolder(sandbox.path(QStringLiteral("dst")));
        EXPECT_TRUE(platformCopy(src, dst));
    }
    // Names that are not UTF-8 do not survive Qt's own recursive removal.
    ~Trees() { shell(QStringLiteral("rm -rf \"$R\"/src \"$R\"/dst")); }
    Trees(const Trees &) = delete;
    Trees &operator=(const Trees &) = delete;

    // Shell text with $S, $D and $R (the sandbox root) set.
    void shell(const QString &script) const
    {
        SubprocessOptions options;
        options.environment = QStringList{QStringLiteral("S=") + src, QStringLiteral("D=") + dst,
                                          QStringLiteral("R=") + sandbox.root(),
                                          QStringLiteral("PATH=/usr/bin:/bin")};
        const SubprocessResult result =
            Subprocess::run(QStringLiteral("/bin/sh"),
                            {QStringLiteral("-ec"), script, QStringLiteral("sh")}, options);
        ASSERT_TRUE(result.succeeded()) << result.failureText().toStdString();
    }
    [[nodiscard]] QString verify(const IntegrityVerifier::CancelProbe &probe = {},
                                 IntegrityVerifier::DestinationRead read =
                                     IntegrityVerifier::DestinationRead::mayBeCached) const
    {
        const Verdict verdict = IntegrityVerifier::verifyDirectoryIntegrity(
            QUrl::fromLocalFile(src), QUrl::fromLocalFile(dst), probe, read);
        EXPECT_EQ(verdict.ok, !verdict.reason.has_value());
        return verdict.reason.value_or(QStringLiteral("verified"));
    }
};

struct Case
{
    const char *name;
    const char *change; // shell text run after the copy
    const char *reason; // "$S", "$D" and "$R" stand for the roots
    // Shell text run once while the copy is read back, from its first file on.
    const char *during = nullptr;
    const char *app = "Foo.app"; // the source's name
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

class TreeComparison : public ::testing::TestWithParam<Case>
{};

TEST_P(TreeComparison, ReportsWhatItFoundFirst)
{
    Trees trees(GetParam().app);
    trees.shell(QString::fromUtf8(GetParam().change));
    QString expected = QString::fromUtf8(GetParam().reason);
    expected.replace(QStringLiteral("$S"), trees.src)
        .replace(QStringLiteral("$D"), trees.dst)
        .replace(QStringLiteral("$R"), trees.sandbox.root());
    if (!GetParam().during) {
        EXPECT_EQ(trees.verify(), expected);
        return;
    }
    auto storage = std::make_shared<FaultyStorage>();
    std::atomic<bool> done = false;
    storage->setReadBackHook([&](int) {
        if (!done.exchange(true))
            trees.shell(QString::fromUtf8(GetParam().during));
    });
    trees.sandbox.system().useStorage(storage);
    EXPECT_EQ(trees.verify({}, IntegrityVerifier::DestinationRead::fromDevice), expected);
    EXPECT_TRUE(done);
}

INSTANTIATE_TEST_SUITE_P(
    IntegrityVerifier, TreeComparison,
    ::testing::Values(
        Case{"Identical", "true", "verified"},
        Case{"DsStoreIgnored", "echo > $D/.DS_Store; echo x > $S/Contents/.DS_Store", "verified"},
        Case{"SpecialBitsIgnored", "chmod 4644 $D/Contents/Resources/a.png", "verified"},
        Case{"FifosNeverOpened", "mkfifo $S/p $D/p", "verified"},
        // Pipes and sockets hold no data; a Mac's copy leaves them out.
        Case{"PipeOnlyInTheSource", "mkfifo $S/Contents/p", "verified"},
        // Named as a file server names a file removed while open, which a Mac's copy tool passes
        // over: on a Mac's disk it is the user's, and compared like any other.
        Case{"NfsAndAfpDeletedFilesOnEitherSide",
             "touch $S/.nfs000000000012345600000001 $S/Contents/.afpDeleted00a1 $D/.nfs02",
             "Item count mismatch: source has 20 items, destination has 19 items. Extra: /.nfs02 "
             "Missing: /.nfs000000000012345600000001, /Contents/.afpDeleted00a1"},
        Case{"NfsNamedFolderOnlyInTheSource", "mkdir $S/.nfs01",
             "Item count mismatch: source has 19 items, destination has 18 items. Missing: "
             "/.nfs01"},
        Case{"HiddenFileMissing", "rm $D/Contents/.hidden",
             "Item count mismatch: source has 18 items, destination has 17 items. Missing: "
             "/Contents/.hidden"},
        Case{"FirstFiveExtraNamesSorted", "cd $D; touch g b f a e d c; rm Contents/Resources/a.png",
             "Item count mismatch: source has 18 items, destination has 24 items. Extra: /a, /b, "
             "/c, /d, /e Missing: /Contents/Resources/a.png"},
        Case{"SameCountOtherName", "mv $D/Contents/Resources/a.png $D/Contents/Resources/b.png",
             "Missing relative path in destination: /Contents/Resources/a.png"},
        Case{"FolderBecameFile", "cd $D/Contents; rm -r MacOS; touch MacOS ../x",
             "Directory type mismatch for: /Contents/MacOS"},
        Case{"FileBecameLink", "cd $D/Contents/Resources; rm a.png; ln -s big.dat a.png",
             "Symlink type mismatch for: /Contents/Resources/a.png"},
        // Pipes and sockets hold no data: copies leave them out, and so does the comparison.
        Case{"FileBecameFifo", "cd $D/Contents/Resources; rm a.png; mkfifo -m 644 a.png",
             "Item count mismatch: source has 18 items, destination has 17 items. Missing: "
             "/Contents/Resources/a.png"},
        Case{"LinkText", "ln -sfn ./A $D/Contents/Frameworks/Core.framework/Versions/Current",
             "Symlink target mismatch for /Contents/Frameworks/Core.framework/Versions/Current: "
             "'A' vs './A'"},
        Case{"AbsoluteLinkIntoSource", "ln -s $S/Contents/Info.plist $S/l; cp -P $S/l $D/l",
             "Unsafe absolute internal symlink at '/l': points to source path "
             "'$S/Contents/Info.plist', which will break when source '$S' is removed."},
        Case{"AbsoluteLinkIntoSourceDanglingThere", "ln -s $S/gone $S/l; cp -P $S/l $D/l",
             "Unsafe absolute internal symlink at '/l': points to source path '$S/gone', which "
             "will break when source '$S' is removed."},
        // A link that leads nowhere in the source either behaves alike in the copy: a lock link,
        // a link to a file since removed.
        Case{"DanglingAbsoluteLink", "ln -s $R/gone $S/l; ln -s $R/gone $D/l", "verified"},
        Case{"DanglingRelativeLink", "ln -s ../gone $S/Contents/l; ln -s ../gone $D/Contents/l",
             "verified"},
        Case{"LockLink",
             "ln -s 127.0.0.1:+12345 $S/Contents/lock; ln -s 127.0.0.1:+12345 $D/Contents/lock",
             "verified"},
        Case{"DanglingLinkText", "ln -s gone $S/l; ln -s gone2 $D/l",
             "Symlink target mismatch for /l: 'gone' vs 'gone2'"},
        Case{"RelativeLinkResolvingInTheSourceOnly",
             "touch $R/src/x; ln -s ../x $S/l; cp -P $S/l $D/l",
             "Broken internal relative symlink at destination '/l': target '../x' does not "
             "resolve to an existing item at '$R/dst/x'."},
        // Through a link to a deeper folder, ".." climbs further than the text reads.
        Case{"ResolvingInTheSourceOnlyThroughALink",
             "touch $R/src/x; for r in $S $D; do mkdir -p $r/a/b; ln -s a/b $r/sub; "
             "ln -s sub/../../../x $r/l; done",
             "Broken internal relative symlink at destination '/l': target 'sub/../../../x' does "
             "not resolve to an existing item at '$R/x'."},
        Case{"PermissionBits", "chmod 600 $D/Contents/Resources/a.png",
             "POSIX permission mismatch for '/Contents/Resources/a.png': source is 644 but "
             "destination is 600."},
        Case{"Size", "echo >> $D/Contents/Resources/a.png",
             "File size mismatch for /Contents/Resources/a.png: source=3 vs dest=4"},
        Case{"OneByteCorruptPastFirstChunk",
             "printf y | dd of=$D/Contents/Resources/big.dat bs=1 seek=1048581 conv=notrunc",
             "SHA-256 checksum mismatch for '/Contents/Resources/big.dat': byte corruption "
             "detected during transfer."},
        Case{"RootPermissionsBeforeAnyListing", "chmod 700 $D; rm $D/Contents/Info.plist",
             "Root directory permission mismatch: source is 755 but destination is 700."},
        Case{"DestinationNotAFolder", "rm -r $D; touch $D; chmod 755 $D",
             "Could not enumerate destination directory: $D"},
        // A folder of the copy swapped for a link to a faithful replica elsewhere, once the
        // reading began: what the copy holds there is not what was read.
        Case{"FolderMadeALinkWhileRead", "true",
             "Destination changed while it was verified: an item of '$D' was replaced, moved or "
             "made a link.",
             "mv $D/Contents $R/away; cp -a $R/away $R/replica; ln -s $R/replica $D/Contents"}),
    [](const auto &info) { return std::string(info.param.name); });

// Names as other systems write them: bytes that are not UTF-8 and show as U+FFFD.
INSTANTIATE_TEST_SUITE_P(
    UndecodableNames, TreeComparison,
    ::testing::Values(
        Case{"OneOfTwoFoldersMissing",
             "mkdir $S/$(printf 'a\\377') $S/$(printf 'a\\376') $D/$(printf 'a\\377')",
             "Item count mismatch: source has 20 items, destination has 19 items. Missing: "
             "/a\uFFFD"},
        Case{"EqualFiles",
             "for r in $S $D; do printf x > $r/$(printf 'f\\377'); printf yy > $r/$(printf "
             "'f\\376'); done",
             "verified"},
        Case{"FileWithOtherContent",
             "printf x > $S/Contents/$(printf '\\377'); printf y > $D/Contents/$(printf '\\377')",
             "SHA-256 checksum mismatch for '/Contents/\uFFFD': byte corruption detected during "
             "transfer."},
        Case{"LinkTextsDifferInUndecodableBytes",
             "ln -s $(printf 'a\\377') $S/l; ln -s $(printf 'a\\376') $D/l",
             "Symlink target mismatch for /l: 'a\uFFFD' vs 'a\uFFFD'"}),
    [](const auto &info) { return std::string(info.param.name); });

// Every spelling of a target inside the source is unsafe; the message quotes it as stored.
// $S is $R/src/Foo.app.
INSTANTIATE_TEST_SUITE_P(
    InsideLinkSpellings, TreeComparison,
    ::testing::Values(
        Case{"LeadingDoubleSlash", "ln -s /$S/Contents/Info.plist $S/l; cp -P $S/l $D/l",
             "Unsafe absolute internal symlink at '/l': points to source path "
             "'/$S/Contents/Info.plist', which will break when source '$S' is removed."},
        Case{"DotComponent", "ln -s /.$S/Contents $S/l; cp -P $S/l $D/l",
             "Unsafe absolute internal symlink at '/l': points to source path "
             "'/.$S/Contents', which will break when source '$S' is removed."},
        Case{"UpAgain", "ln -s /x/..$S/Contents/MacOS $S/l; cp -P $S/l $D/l",
             "Unsafe absolute internal symlink at '/l': points to source path "
             "'/x/..$S/Contents/MacOS', which will break when source '$S' is removed."},
        Case{"DoubledSlashInside",
             "ln -s $R//src/Foo.app $S/Contents/l; cp -P $S/Contents/l "
             "$D/Contents/l",
             "Unsafe absolute internal symlink at '/Contents/l': points to source path "
             "'$R//src/Foo.app', which will break when source '$S' is removed."},
        // A Mac's names are decomposed, and its file systems take either spelling for the
        // other: here a link in the other spelling beside the source stands in for that.
        Case{"ComposedIntoADecomposedName",
             "ln -s $R/src/Caf\xc3\xa9.app/Contents/Info.plist $S/l; cp -P $S/l $D/l; "
             "ln -s Cafe\xcc\x81.app $R/src/Caf\xc3\xa9.app",
             "Unsafe absolute internal symlink at '/l': points to source path "
             "'$R/src/Caf\xc3\xa9.app/Contents/Info.plist', which will break when source '$S' "
             "is removed.",
             nullptr, "Cafe\xcc\x81.app"},
        Case{"DecomposedIntoAComposedName",
             "ln -s $R/src/Cafe\xcc\x81.app/Contents $S/l; cp -P $S/l $D/l; "
             "ln -s Caf\xc3\xa9.app $R/src/Cafe\xcc\x81.app",
             "Unsafe absolute internal symlink at '/l': points to source path "
             "'$R/src/Cafe\xcc\x81.app/Contents', which will break when source '$S' is "
             "removed.",
             nullptr, "Caf\xc3\xa9.app"},
        Case{"SiblingSharingThePrefixIsOutside",
             "mkdir $R/src/Foo.apps; ln -s $R/src/Foo.apps $S/l; cp -P $S/l $D/l", "verified"}),
    [](const auto &info) { return std::string(info.param.name); });

// Keys are the path below the root, so a tree that repeats its own root's text inside still
// compares item for item, and a fault down there is not hidden.
TEST(IntegrityVerifier, RootTextRepeatedInsideTheTree)
{
    Trees trees;
    trees.shell(QStringLiteral("for r in $S $D; do mkdir -p $r$S; echo a > $r/f; echo b > $r$S/f; "
                               "done"));
    EXPECT_EQ(trees.verify(), QStringLiteral("verified"));
    trees.shell(QStringLiteral("echo c > $D$S/f"));
    EXPECT_EQ(trees.verify(), QStringLiteral("SHA-256 checksum mismatch for '") + trees.src +
                                  QStringLiteral("/f': byte corruption detected during transfer."));
}

// A tree deeper and wider than the open-file limit, with faults added one after another, each
// of a kind that the verdict ranks higher: the message is always the one of the highest rank,
// and within a rank the one at the smallest path.
TEST(IntegrityVerifier, DeepAndWideTreeKeepsMessagesAndTheirPriority)
{
    Trees trees;
    trees.shell(QStringLiteral(
        "cd $S; mkdir w; cd w; mkdir $(seq -f d%g 100 399); for i in $(seq 100 399); do echo $i "
        "> d$i/f; done; cd $S; mkdir -p deep/1/2/3/4/5/6/7/8/9/10/11/12; d=deep; for i in $(seq "
        "1 12); do d=$d/$i; echo $i > $d/x; ln -s x $d/l; done; cp -a $S/w $S/deep $D/"));
    // A Mac's default open-file limit.
    const OpenFileLimit limit(256);
    const QString deepest = QStringLiteral("/deep/1/2/3/4/5/6/7/8/9/10/11/12/x");
    struct Step
    {
        const char *change;
        QString reason;
    };
    const Step steps[] = {
        {"true", QStringLiteral("verified")},
        {"echo 99 > $D/deep/1/2/3/4/5/6/7/8/9/10/11/12/x",
         QStringLiteral("SHA-256 checksum mismatch for '") + deepest +
             QStringLiteral("': byte corruption detected during transfer.")},
        {"chmod 600 $D/w/d399/f",
         QStringLiteral("POSIX permission mismatch for '/w/d399/f': source is 644 but "
                        "destination is 600.")},
        {"chmod 600 $D/w/d100/f $D/deep/1/2/x",
         QStringLiteral("POSIX permission mismatch for '/deep/1/2/x': source is 644 but "
                        "destination is 600.")},
        {"cd $D/deep/1/2/3/4/5/6/7; touch g b f a e d c; rm $D/w/d250/f",
         QStringLiteral("Item count mismatch: source has 656 items, destination has 662 items. "
                        "Extra: /deep/1/2/3/4/5/6/7/a, /deep/1/2/3/4/5/6/7/b, "
                        "/deep/1/2/3/4/5/6/7/c, /deep/1/2/3/4/5/6/7/d, /deep/1/2/3/4/5/6/7/e "
                        "Missing: /w/d250/f")},
        {"chmod 700 $D",
         QStringLiteral("Root directory permission mismatch: source is 755 but destination is "
                        "700.")},
    };
    for (const Step &step : steps) {
        trees.shell(QString::fromUtf8(step.change));
        EXPECT_EQ(trees.verify().toStdString(), step.reason.toStdString()) << step.change;
    }
}

// Listing and hashing run on pool threads; none of them may ask the probe after the answer.
TEST(IntegrityVerifier, CancelMidwayStopsEveryThreadBeforeAnswering)
{
    Trees trees;
    trees.shell(QStringLiteral("cd $S; head -c 3000000 /dev/zero > f; mkdir $(seq -f d%g 1 30); "
                               "for i in $(seq 1 30); do ln f d$i/f; done; cp -a $S/. $D/"));
    struct Probe
    {
        std::atomic<int> calls = 0;
        std::atomic<bool> answered = false;
        std::atomic<int> callsAfterAnswer = 0;
    };
    const auto probe = std::make_shared<Probe>();
    EXPECT_EQ(trees.verify([probe] {
        if (probe->answered)
            ++probe->callsAfterAnswer;
        return ++probe->calls > 60;
    }),
              QStringLiteral("Verification cancelled by user."));
    probe->answered = true;
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EQ(probe->callsAfterAnswer, 0);
}

TEST(IntegrityVerifier, CancelFromTheFirstProbe)
{
    Trees trees;
    const auto always = [] { return true; };
    EXPECT_EQ(trees.verify(always), QStringLiteral("Verification cancelled by user."));
    // No item is visited in two empty folders, and the root test asks no probe.
    const QString empty = trees.sandbox.makeFolder(trees.sandbox.path(QStringLiteral("e")));
    EXPECT_TRUE(IntegrityVerifier::verifyDirectoryIntegrity(QUrl::fromLocalFile(empty),
                                                            QUrl::fromLocalFile(empty), always)
                    .ok);
}

TEST(IntegrityVerifier, DigestAsksTheProbeBeforeEveryChunk)
{
    Sandbox sandbox;
    QByteArray content(int(IntegrityVerifier::chunkSize * 2 + 7), '\0');
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = char(i * 31);
    const QUrl file = QUrl::fromLocalFile(sandbox.writeFile(sandbox.path("f"), content));
    std::atomic<int> asked = 0;
    EXPECT_EQ(IntegrityVerifier::computeSHA256(file, [&] { return ++asked > 4; }),
              QString::fromLatin1(Sha256::hash(content).toHex()));
    EXPECT_EQ(asked, 4); // three reads with data, then the empty one
    asked = 0;
    EXPECT_EQ(IntegrityVerifier::computeSHA256(file, [&] { return ++asked > 2; }), std::nullopt);
}

// A Mac reading past its cache reads nothing ahead unless asked: the digest asks for each window
// of the file before its reads come to it.
TEST(IntegrityVerifier, DigestAsksForWhatItReadsNextAhead)
{
    Sandbox sandbox;
    auto darwin = std::make_shared<FakeDarwinCalls>();
    sandbox.system().useStorage(std::make_shared<MacStorage>(darwin));
    const QString path = sandbox.path(QStringLiteral("big"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const qint64 size = 20 * IntegrityVerifier::chunkSize + 7;
    ASSERT_TRUE(file.resize(size)); // sparse: no disk space taken
    file.close();

    ASSERT_TRUE(IntegrityVerifier::computeSHA256(QUrl::fromLocalFile(path)));
    qint64 askedTo = 0;
    int advices = 0;
    for (const FakeDarwinCalls::StorageCall &call : darwin->storageCalls()) {
        if (call.call != QLatin1String("advise"))
            continue;
        ++advices;
        EXPECT_EQ(call.offset, askedTo);
        EXPECT_LE(call.position, call.offset) << "asked for what was read already";
        askedTo = call.offset + call.length;
    }
    EXPECT_EQ(askedTo, size);
    EXPECT_GT(advices, 1);
}

// A pool thread that digested may still be ending when the program quits; OpenSSL's own
// teardown at exit frees what that thread frees too, so the program must not run it.
TEST(IntegrityVerifier, QuittingLeavesTheDigestsStateToTheProcesssEnd)
{
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool hashed = Sha256::hash("data").size() == 32;
        OPENSSL_atexit([] { ::_exit(3); });
        std::exit(hashed ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: OpenSSL tore itself down at exit";
}

} // namespace
