#include "base/Iso8601.h"
#include "base/Uuid.h"

#include <QSet>
#include <QTimeZone>
#include <gtest/gtest.h>

namespace {

TEST(Iso8601Test, BothFormsAreUtc)
{
    const QDateTime moment = QDateTime::fromMSecsSinceEpoch(1738332309123LL, QTimeZone(3600));
    EXPECT_EQ(iso8601Seconds(moment), QStringLiteral("2025-01-31T14:05:09Z"));
    EXPECT_EQ(iso8601Millis(moment), QStringLiteral("2025-01-31T14:05:09.123Z"));
}

TEST(UuidTest, UpperCaseAndFresh)
{
    const QString a = newUuidText();
    const QString b = newUuidText();
    EXPECT_TRUE(isUuidText(a));
    EXPECT_NE(a, b);
    EXPECT_FALSE(isUuidText(a.toLower()));
    EXPECT_FALSE(isUuidText(a + QLatin1Char('0')));
}

} // namespace
