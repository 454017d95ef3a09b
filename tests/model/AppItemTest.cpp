#include "model/AppItem.h"
#include "base/PathUtils.h"
#include "model/DuplicateLocalInstance.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

namespace {

AppItem itemAt(const QString &path)
{
    return AppItem{.url = QUrl::fromLocalFile(path), .name = PathUtils::baseName(path)};
}

class AppItemTest : public ::testing::Test
{
protected:
    Sandbox sandbox;
    const QString apps = sandbox.applications();
};

} // namespace

// The status rule is the one reader of the proxy-bundle test, so both are tested together.
TEST_F(AppItemTest, StatusFollowsPrecedenceAndTheDisk)
{
    using F = PlistFile::Format;
    const QString real = BundleBuilder(apps + "/Real.app").build();
    const QString there = BundleBuilder(sandbox.drive() + "/There.app").build();
    const QString gone = sandbox.drive() + "/Gone.app";
    const QString proxy = apps + "/Proxy.app", half = apps + "/Half.app";
    writeInfoPlist(proxy, {{"IsKorvanthelixProxy", true}, {"TargetAppPath", there}}, F::Binary);
    writeInfoPlist(half, {{"IsKorvanthelixProxy", false}, {"TargetAppPath", 0}});
    const QString text = apps + "/Text.app";
    writeInfoPlist(text, {{"IsKorvanthelixProxy", "true"}});
    const QString bare = BundleBuilder(apps + "/Bare.app").withoutInfoPlist().build();
    const QString alias = sandbox.writeFile(apps + "/Alias.app", "bookmark");
    const QString link = sandbox.makeSymlink(apps + "/Link.app", proxy);
    const QString dead = apps + "/Dead.app";
    using S = AppOffloadStatus;
    // Flags: L link (isSymlink and isAlias), P protected, W overwritten offload,
    // U update out of sync, C copied.
    const struct
    {
        QString flags, path;
        std::optional<QString> target;
        S expected;
    } rows[] = {
        {"LP", dead, {}, S::protected_},      {"WUC", real, {}, S::needsReoffload},
        {"UC", real, {}, S::backupOutOfSync}, {"C", real, {}, S::copied},
        {"", real, gone, S::local},           {"L", dead, there, S::offloaded},
        {"L", dead, {}, S::dangling},         {"L", dead, gone, S::dangling},
        {"", proxy, there, S::proxy},         {"LUC", proxy, gone, S::dangling},
        {"", half, there, S::proxy},          {"", link, there, S::proxy},
        {"", text, there, S::local},          {"", bare, there, S::local},
        {"", alias, there, S::local},         {"L", alias, there, S::offloaded},
    };
    for (const auto &row : rows) {
        AppItem item = itemAt(row.path);
        item.isSymlink = item.isAlias = row.flags.contains('L');
        item.isProtected = row.flags.contains('P');
        item.isOverwrittenOffload = row.flags.contains('W');
        item.isUpdateOutOfSync = row.flags.contains('U');
        item.isCopied = row.flags.contains('C');
        item.symlinkTarget = row.target;
        EXPECT_EQ(label(item.status()), label(row.expected)) << qPrintable(row.flags + row.path);
    }
}

TEST_F(AppItemTest, SubfolderPathBelowEitherApplicationsFolder)
{
    const QString user = sandbox.userApplications();
    const struct
    {
        QString path;
        std::optional<QString> subfolder, top;
    } rows[] = {
        {apps + "/A.app", {}, {}},
        {user + "/A.app", {}, {}},
        {apps + "/Utilities/A.app", "Utilities", "Utilities"},
        {apps + "/Tools/Editors/A.app", "Tools/Editors", "Tools"},
        {user + "/Games/A.app", "Games", "Games"},
        {sandbox.drive() + "/Applications/A.app", "Applications", "Applications"},
        {apps + "Extra/A.app", "ApplicationsExtra", "ApplicationsExtra"},
    };
    for (const auto &row : rows) {
        const AppItem item = itemAt(row.path);
        EXPECT_EQ(item.subfolderPath(), row.subfolder) << qPrintable(row.path);
        EXPECT_EQ(item.topSubfolderName(), row.top) << qPrintable(row.path);
        EXPECT_EQ(item.isRootApplicationsFolder(), &row == rows) << qPrintable(row.path);
    }
}

TEST_F(AppItemTest, SizesShowCalculatingOnlyWhileNothingIsCounted)
{
    AppItem item = itemAt(BundleBuilder(apps + "/A.app").build());
    item.supportFolders = {{QUrl::fromLocalFile("/s1"), "s1", 2'000'000, false, false, {}, true},
                           {QUrl::fromLocalFile("/s2"), "s2", 5'000'000, true, true}};
    EXPECT_EQ(item.sizeFormatted(), QStringLiteral("Calculating\u2026"));
    EXPECT_EQ(item.totalSelectedSizeFormatted(), QStringLiteral("2 MB"));
    item.supportFolders[0].isSelected = false;
    EXPECT_EQ(item.totalSelectedSizeFormatted(), QStringLiteral("Calculating\u2026"));
    item.size = 3'000'000;
    EXPECT_EQ(item.sizeFormatted(), QStringLiteral("3 MB"));
    item.isSymlink = item.isAlias = true;
    EXPECT_EQ(item.sizeFormatted(), QStringLiteral("3 MB (Offloaded)"));
    // A support folder has no "Calculating…" form.
    item.supportFolders[1].size = 0;
    EXPECT_EQ(item.supportFolders[1].sizeFormatted(), QStringLiteral("Zero KB (Offloaded)"));
}

TEST(ModelEqualityTest, ItemsComparePathsFoldersCompareEverything)
{
    const AppItem a = itemAt("/Applications/A.app");
    AppItem b = a;
    b.isSymlink = b.isProtected = true;
    EXPECT_EQ(a, b);
    EXPECT_EQ(qHash(a), qHash(b));
    EXPECT_NE(a, itemAt("/Applications/B.app"));

    const AppItem link = itemAt("/Applications/Link.app");
    EXPECT_EQ((DuplicateLocalInstance{a, link}), (DuplicateLocalInstance{b, link}));
    EXPECT_NE((DuplicateLocalInstance{a, link}), (DuplicateLocalInstance{a, b}));

    const SupportFolder folder{QUrl::fromLocalFile("/s/Acme"), "Acme", 10, false, false, {}, true};
    SupportFolder other = folder;
    other.isSelected = false;
    EXPECT_NE(folder, other);
}
