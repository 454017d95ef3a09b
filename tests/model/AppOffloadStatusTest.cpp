#include "model/AppOffloadStatus.h"

#include <gtest/gtest.h>

TEST(AppOffloadStatusTest, OnlyExactLabelsConvertBack)
{
    for (const AppOffloadStatus status : allCases<AppOffloadStatus>())
        EXPECT_EQ(fromLabel<AppOffloadStatus>(label(status)), status);
    EXPECT_EQ(label(allCases<AppOffloadStatus>().at(6)), QStringLiteral("Protected"));
    for (const char *text : {"protected", "On mac", "Drive", "Copied ", ""})
        EXPECT_EQ(fromLabel<AppOffloadStatus>(QString::fromUtf8(text)), std::nullopt) << text;
}
