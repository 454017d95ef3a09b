#include "base/PlistFile.h"
#include "support/Sandbox.h"

#include <QDateTime>
#include <gtest/gtest.h>

namespace {

class PlistFileTest : public ::testing::TestWithParam<PlistFile::Format>
{};

TEST_P(PlistFileTest, RoundTripsEveryValueKind)
{
    Sandbox sandbox;
    const QString path = sandbox.path(QStringLiteral("Info.plist"));
    const QDateTime moment =
        QDateTime::fromString(QStringLiteral("2025-03-01T09:30:00Z"), Qt::ISODate);
    const PlistFile::Entries entries = {
        {QStringLiteral("Text"), QStringLiteral("Grüße / <&>")},
        {QStringLiteral("Flag"), true},
        {QStringLiteral("Number"), qint64(42)},
        {QStringLiteral("Real"), 2.5},
        {QStringLiteral("Data"), QByteArray("\x00\x01", 2)},
        {QStringLiteral("When"), moment},
        {QStringLiteral("List"), QVariantList{QStringLiteral("a"), false}},
        {QStringLiteral("Nested"), QVariantMap{{QStringLiteral("k"), QStringLiteral("v")}}},
    };
    ASSERT_TRUE(PlistFile::write(path, entries, GetParam()));

    const auto dict = PlistFile::readDictionary(path);
    ASSERT_TRUE(dict.has_value());
    EXPECT_EQ(dict->value(QStringLiteral("Text")).toString(), QStringLiteral("Grüße / <&>"));
    EXPECT_EQ(dict->value(QStringLiteral("Flag")).typeId(), QMetaType::Bool);
    EXPECT_EQ(dict->value(QStringLiteral("Number")).toLongLong(), 42);
    EXPECT_DOUBLE_EQ(dict->value(QStringLiteral("Real")).toDouble(), 2.5);
    EXPECT_EQ(dict->value(QStringLiteral("Data")).toByteArray(), QByteArray("\x00\x01", 2));
    EXPECT_EQ(dict->value(QStringLiteral("When")).toDateTime(), moment);
    EXPECT_EQ(dict->value(QStringLiteral("List")).toList().size(), 2);
    EXPECT_EQ(dict->value(QStringLiteral("Nested")).toMap().value(QStringLiteral("k")).toString(),
              QStringLiteral("v"));
}

INSTANTIATE_TEST_SUITE_P(Formats, PlistFileTest,
                         ::testing::Values(PlistFile::Format::Xml, PlistFile::Format::Binary));

TEST(PlistFileOrderTest, XmlKeepsTheGivenKeyOrder)
{
    const QByteArray xml = PlistFile::serialize(
        {{QStringLiteral("Zeta"), 1}, {QStringLiteral("Alpha"), 2}}, PlistFile::Format::Xml);
    EXPECT_LT(xml.indexOf("Zeta"), xml.indexOf("Alpha"));
}

TEST(PlistFileOrderTest, RejectsWhatIsNotADictionary)
{
    Sandbox sandbox;
    EXPECT_FALSE(PlistFile::readDictionary(sandbox.path(QStringLiteral("missing"))));
    const QString garbage =
        sandbox.writeFile(sandbox.path(QStringLiteral("bad.plist")), "not a plist");
    EXPECT_FALSE(PlistFile::readDictionary(garbage));
    EXPECT_FALSE(PlistFile::parse(QByteArray()));
}

} // namespace
