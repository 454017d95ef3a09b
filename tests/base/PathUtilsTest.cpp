#include "base/PathUtils.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

namespace {

struct TextCase
{
    const char *input;
    const char *expected;
};

class StandardizedTest : public ::testing::TestWithParam<TextCase>
{};

TEST_P(StandardizedTest, CleansLexically)
{
    EXPECT_EQ(PathUtils::standardized(QString::fromUtf8(GetParam().input)).toStdString(),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StandardizedTest,
    ::testing::Values(TextCase{"/Applications/", "/Applications"},
                      TextCase{"//Applications//Foo.app", "/Applications/Foo.app"},
                      TextCase{"/Applications/./Foo.app", "/Applications/Foo.app"},
                      TextCase{"/Applications/Sub/../Foo.app", "/Applications/Foo.app"},
                      TextCase{"/../Foo.app", "/Foo.app"}, TextCase{"/", "/"},
                      TextCase{"a/../..", ".."}, TextCase{"a/..", "."}));

TEST(PathUtilsTest, ResolvesLinksEvenWithAMissingTail)
{
    Sandbox sandbox;
    const QString real = sandbox.makeFolder(sandbox.drive() + QStringLiteral("/Applications"));
    const QString link = sandbox.makeSymlink(sandbox.path(QStringLiteral("link")), real);

    EXPECT_EQ(PathUtils::resolved(link + QStringLiteral("/Missing.app/Contents")),
              real + QStringLiteral("/Missing.app/Contents"));
    EXPECT_EQ(PathUtils::resolved(link), real);
}

TEST(PathUtilsTest, TellsDanglingLinksFromMissingItems)
{
    Sandbox sandbox;
    const QString dangling =
        sandbox.makeSymlink(sandbox.path(QStringLiteral("dangling")), QStringLiteral("nowhere"));

    EXPECT_TRUE(PathUtils::existsNoFollow(dangling));
    EXPECT_FALSE(PathUtils::existsFollowingLinks(dangling));
    EXPECT_TRUE(PathUtils::isSymlink(dangling));
    EXPECT_EQ(PathUtils::linkText(dangling), QStringLiteral("nowhere"));
    EXPECT_FALSE(PathUtils::linkText(sandbox.root()).has_value());
    EXPECT_FALSE(PathUtils::existsNoFollow(sandbox.path(QStringLiteral("absent"))));

    // A link of /proc (where there is one) says it is 64 bytes long, whatever it holds.
    const QString longPath = sandbox.writeFile(sandbox.path(QString(100, QLatin1Char('n'))), "x");
    QFile opened(longPath);
    ASSERT_TRUE(opened.open(QIODevice::ReadOnly));
    const QString descriptor = QStringLiteral("/proc/self/fd/") + QString::number(opened.handle());
    if (PathUtils::isSymlink(descriptor)) {
        EXPECT_EQ(PathUtils::linkText(descriptor), longPath);
    }
}

TEST(PathUtilsTest, ContainmentIsByComponent)
{
    EXPECT_TRUE(
        PathUtils::isSameOrInside(QStringLiteral("/Volumes/A/x"), QStringLiteral("/Volumes/A")));
    EXPECT_TRUE(
        PathUtils::isSameOrInside(QStringLiteral("/Volumes/A/"), QStringLiteral("/Volumes/A")));
    EXPECT_FALSE(
        PathUtils::isSameOrInside(QStringLiteral("/Volumes/AB"), QStringLiteral("/Volumes/A")));
    EXPECT_EQ(PathUtils::baseName(QStringLiteral("/A/Foo.Bar.app")), QStringLiteral("Foo.Bar"));
    EXPECT_EQ(PathUtils::parentPath(QStringLiteral("/Foo.app")), QStringLiteral("/"));
}

} // namespace
