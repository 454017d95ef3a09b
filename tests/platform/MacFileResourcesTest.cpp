#include "platform/macos/MacFileResources.h"

#include "FakeDarwinCalls.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// The start of an alias file as Finder and CFURLWriteBookmarkDataToFile write it: "book",
// four zero bytes, "mark", four zero bytes, then the header's size and the bookmark data.
QByteArray aliasFileHead()
{
    QByteArray head("book\0\0\0\0mark\0\0\0\0", 16);
    head += QByteArray("\x38\0\0\0\x38\0\0\0", 8);
    head += QByteArray(40, '\0');
    return head;
}

class MacFileResourcesTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString write(const QString &name, const QByteArray &content)
    {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return file.fileName();
    }

    QTemporaryDir dir;
    std::shared_ptr<FakeDarwinCalls> darwin = std::make_shared<FakeDarwinCalls>();
    MacFileResources resources{darwin};
};

TEST_F(MacFileResourcesTest, AliasFilesAreToldByTheirBookmarkHeader)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir("Folder"));
    ASSERT_TRUE(QFile::link("/nowhere/Foo.app", dir.filePath("Dangling")));
    struct Case
    {
        QString path;
        std::optional<bool> isAlias;
    };
    const Case cases[] = {
        {write("Foo alias", aliasFileHead()), true},
        {write("bookmarks.txt", "bookmarks of mine\n"), false},
        {write("Short", "book"), false},
        {write("Near miss", "book of marks and more"), false},
        {write("Empty", {}), false},
        {dir.filePath("Dangling"), true},
        {dir.filePath("Folder"), false},
        {dir.filePath("Missing"), std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        EXPECT_EQ(resources.isAliasFile(c.path), c.isAlias);
    }
}

TEST_F(MacFileResourcesTest, OnlyBookmarkFilesAreResolvedByThePlatform)
{
    const QString alias = write("Foo alias", aliasFileHead());
    const QString text = write("Notes", "book of marks");
    ASSERT_TRUE(QFile::link(alias, dir.filePath("Link")));
    darwin->bookmarks = {{alias, "/Volumes/Drive/Applications/Foo.app"},
                         {text, "/never"},
                         {dir.filePath("Link"), "/never"}};
    EXPECT_EQ(resources.resolveAliasFile(alias), "/Volumes/Drive/Applications/Foo.app");
    EXPECT_EQ(resources.resolveAliasFile(text), std::nullopt);
    EXPECT_EQ(resources.resolveAliasFile(dir.filePath("Link")), std::nullopt);
}

TEST_F(MacFileResourcesTest, HiddenByDotNameOrHiddenFlag)
{
    const QString dotted = write(".hidden", {});
    const QString flagged = write("Icon\r", {});
    const QString plain = write("Plain", {});
    darwin->hiddenFlags = {flagged};
    EXPECT_TRUE(resources.isHidden(dotted));
    EXPECT_TRUE(resources.isHidden(flagged));
    EXPECT_FALSE(resources.isHidden(plain));
}

// Each flag chflags sets that keeps even an administrator from removing an item, by its name.
TEST_F(MacFileResourcesTest, RemovalLocksAreToldByTheirFlags)
{
    const QString path = write("Locked", {});
    const std::pair<quint32, std::optional<QString>> cases[] = {
        {0x00000002, QStringLiteral("locked (uchg)")},
        {0x00020000, QStringLiteral("system-immutable (schg)")},
        {0x00000004, QStringLiteral("append-only (uappnd)")},
        {0x00040000, QStringLiteral("system append-only (sappnd)")},
        {0x00080000, QStringLiteral("protected by System Integrity Protection (restricted)")},
        {0x00100000, QStringLiteral("system-undeletable (sunlnk)")},
        {0x00008000 | 0x00000020, std::nullopt}, // UF_HIDDEN, UF_COMPRESSED
    };
    for (const auto &[flags, lock] : cases) {
        SCOPED_TRACE(flags);
        darwin->flags = {{path, flags}};
        EXPECT_EQ(resources.removalLock(path), lock);
    }
    darwin->flags.clear();
    EXPECT_EQ(resources.removalLock(path), std::nullopt);
}

TEST_F(MacFileResourcesTest, PackagesAreFoldersOfBundleKinds)
{
    for (const char *folder : {"Foo.app", "Bar.APP", "Kit.framework", "Plain"})
        ASSERT_TRUE(QDir(dir.path()).mkdir(folder));
    write("File.app", {});
    ASSERT_TRUE(QFile::link(dir.filePath("Foo.app"), dir.filePath("Link.app")));
    EXPECT_TRUE(resources.isPackage(dir.filePath("Foo.app")));
    EXPECT_TRUE(resources.isPackage(dir.filePath("Bar.APP")));
    EXPECT_TRUE(resources.isPackage(dir.filePath("Kit.framework")));
    EXPECT_FALSE(resources.isPackage(dir.filePath("Plain")));
    EXPECT_FALSE(resources.isPackage(dir.filePath("File.app")));
    EXPECT_FALSE(resources.isPackage(dir.filePath("Link.app")));
}

} // namespace
