#include "base/ByteCount.h"

#include <gtest/gtest.h>

namespace {

struct SizeCase
{
    qint64 bytes;
    const char *text;
};

class FormatFileSizeTest : public ::testing::TestWithParam<SizeCase>
{};

TEST_P(FormatFileSizeTest, MatchesThePlatformFileStyle)
{
    EXPECT_EQ(formatFileSize(GetParam().bytes).toStdString(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatFileSizeTest,
    ::testing::Values(SizeCase{0, "Zero KB"}, SizeCase{1, "1 byte"}, SizeCase{2, "2 bytes"},
                      SizeCase{999, "999 bytes"}, SizeCase{1000, "1 KB"}, SizeCase{1499, "1 KB"},
                      SizeCase{1500, "2 KB"}, SizeCase{999499, "999 KB"}, SizeCase{999500, "1 MB"},
                      SizeCase{1000000, "1 MB"}, SizeCase{1250000, "1.3 MB"},
                      SizeCase{104857600, "104.9 MB"}, SizeCase{999949999, "999.9 MB"},
                      SizeCase{999950000, "1 GB"}, SizeCase{1073741824, "1.07 GB"},
                      SizeCase{1500000000, "1.5 GB"}, SizeCase{524288000, "524.3 MB"},
                      SizeCase{2000000000000, "2 TB"}, SizeCase{1234567890123, "1.23 TB"}));

} // namespace
