#include "transfer/IntegrityVerifier.h"
#include "base/Sha256.h"
#include "base/Subprocess.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <QFile>
#include <atomic>
#include <gtest/gtest.h>

namespace {

// A bundle with a versioned framework (relative links), a hidden file and a resource just
// over one read chunk, and a faithful copy of it.
struct Trees
{
    Sandbox sandbox;
    QString src = sandbox.path(QStringLiteral("src/Foo.app"));
    QString dst = sandbox.path(QStringLiteral("dst/Foo.app"));

    Trees()
    {
        BundleBuilder(src)
            .framework(QStringLiteral("Core"))
            .file(QStringLiteral("Resources/a.png"), "png")
            .file(QStringLiteral("Resources/big.dat"),
                  QByteArray(int(IntegrityVerifier::chunkSize) + 10, 'x'))
            .file(QStringLiteral(".hidden"), "h")
            .build();
        sandbox.makeFolder(sandbox.path(QStringLiteral("dst")));
        shell(QStringLiteral("cp -a -T \"$S\" \"$D\""));
    }
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
    [[nodiscard]] QString verify(const IntegrityVerifier::CancelProbe &probe = {}) const
    {
        const Verdict verdict = IntegrityVerifier::verifyDirectoryIntegrity(
            QUrl::fromLocalFile(src), QUrl::fromLocalFile(dst), probe);
        EXPECT_EQ(verdict.ok, !verdict.reason.has_value());
        return verdict.reason.value_or(QStringLiteral("verified"));
    }
};

struct Case
{
    const char *name;
    const char *change; // shell text run after the copy
    const char *reason; // "$S", "$D" and "$R" stand for the roots
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

class TreeComparison : public ::testing::TestWithParam<Case>
{};

TEST_P(TreeComparison, ReportsWhatItFoundFirst)
{
    Trees trees;
    trees.shell(QString::fromUtf8(GetParam().change));
    QString expected = QString::fromUtf8(GetParam().reason);
    expected.replace(QStringLiteral("$S"), trees.src)
        .replace(QStringLiteral("$D"), trees.dst)
        .replace(QStringLiteral("$R"), trees.sandbox.root());
    EXPECT_EQ(trees.verify(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    IntegrityVerifier, TreeComparison,
    ::testing::Values(
        Case{"Identical", "true", "verified"},
        Case{"DsStoreIgnored", "echo > $D/.DS_Store; echo x > $S/Contents/.DS_Store", "verified"},
        Case{"SpecialBitsIgnored", "chmod 4644 $D/Contents/Resources/a.png", "verified"},
        Case{"FifosNeverOpened", "mkfifo $S/p $D/p", "verified"},
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
        Case{"FileBecameFifo", "cd $D/Contents/Resources; rm a.png; mkfifo -m 644 a.png",
             "File type mismatch for: /Contents/Resources/a.png"},
        Case{"LinkText", "ln -sfn ./A $D/Contents/Frameworks/Core.framework/Versions/Current",
             "Symlink target mismatch for /Contents/Frameworks/Core.framework/Versions/Current: "
             "'A' vs './A'"},
        Case{"AbsoluteLinkIntoSource", "ln -s $S/Contents/Info.plist $S/l; cp -P $S/l $D/l",
             "Unsafe absolute internal symlink at '/l': points to source path "
             "'$S/Contents/Info.plist', which will break when source '$S' is removed."},
        Case{"DanglingAbsoluteLink", "ln -s $R/gone $S/l; ln -s $R/gone $D/l",
             "Dangling absolute symlink at '/l': target '$R/gone' does not exist on disk."},
        Case{"BrokenRelativeLink", "ln -s ../gone $S/Contents/l; ln -s ../gone $D/Contents/l",
             "Broken internal relative symlink at destination '/Contents/l': target '../gone' "
             "does not resolve to an existing item at '$D/gone'."},
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
             "Could not enumerate destination directory: $D"}),
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

} // namespace
