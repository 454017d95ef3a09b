#include "services/AppScanner.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

namespace {

std::optional<QString> text(const char *value)
{
    return value ? std::optional(QString::fromUtf8(value)) : std::nullopt;
}

TEST(BundleFacts, DisplayVersionAndOutOfSyncRule)
{
    Sandbox sandbox;
    const struct
    {
        const char *shortVersion, *build, *display;
    } cases[] = {{"2.1", "2104", "2.1 (2104)"},
                 {"2.1", "2.1", "2.1"},
                 {"2.1", nullptr, "2.1"},
                 {nullptr, "2104", "2104"},
                 {nullptr, nullptr, nullptr}};
    for (const auto &c : cases) {
        const QString bundle =
            BundleBuilder(
                sandbox.path(QStringLiteral("%1-%2.app").arg(c.shortVersion).arg(c.build)))
                .version(text(c.shortVersion))
                .buildNumber(text(c.build))
                .build();
        EXPECT_EQ(AppScanner::extractVersionInfo(QUrl::fromLocalFile(bundle)),
                  (VersionInfo{text(c.shortVersion), text(c.build), text(c.display)}));
    }
    const auto v = [](const char *shortVersion, const char *build) {
        return VersionInfo{text(shortVersion), text(build), std::nullopt};
    };
    EXPECT_TRUE(BundleFacts::isUpdateOutOfSync(v("2.0", "100"), v("2.0", "101")));
    EXPECT_TRUE(BundleFacts::isUpdateOutOfSync(v("2.0", nullptr), v("2.1", nullptr)));
    EXPECT_FALSE(BundleFacts::isUpdateOutOfSync(v("2.0", "100"), v("2.0", nullptr)));
    EXPECT_FALSE(BundleFacts::isUpdateOutOfSync(v(nullptr, "100"), v("2.0", "101")));
}

TEST(BundleFacts, DirectorySizeCountsRegularFilesOnly)
{
    Sandbox sandbox;
    const QString tree = sandbox.makeFolder(sandbox.path("tree"));
    sandbox.writeFile(tree + "/a", QByteArray(1000, 'a'));
    sandbox.writeFile(tree + "/.hidden", QByteArray(20, 'h'));
    sandbox.writeFile(tree + "/deep/Pkg.app/Contents/b", QByteArray(300, 'b'));
    const QString outside = sandbox.writeFile(sandbox.path("outside"), QByteArray(5000, 'o'));
    sandbox.makeSymlink(tree + "/link", outside);
    sandbox.makeSymlink(tree + "/dirlink", sandbox.drive());
    const QString links = sandbox.makeFolder(sandbox.path("links"));
    sandbox.makeSymlink(links + "/l", outside);

    EXPECT_EQ(AppScanner::calculateDirectorySize(tree), 1320);
    EXPECT_EQ(
        AppScanner::calculateDirectorySize(sandbox.makeSymlink(sandbox.path("to-tree"), tree)),
        1320);
    EXPECT_EQ(AppScanner::calculateDirectorySize(outside), 5000);
    EXPECT_EQ(AppScanner::calculateDirectorySize(links), 0);
    EXPECT_EQ(AppScanner::calculateDirectorySize(sandbox.path("missing")), 0);
}

} // namespace
