#include "views/main/ListVocabulary.h"
#include "QStringPrinter.h"

#include <gtest/gtest.h>

namespace {

template<typename E>
QStringList labelsOf()
{
    QStringList labels;
    const QList<E> cases = allCases<E>();
    for (const E value : cases)
        labels.append(label(value));
    return labels;
}

template<typename E>
void expectRoundTrip()
{
    const QList<E> cases = allCases<E>();
    for (const E value : cases)
        EXPECT_EQ(fromLabel<E>(label(value)), value) << label(value).toStdString();
}

} // namespace

TEST(ListVocabularyTest, LabelsInDeclarationOrderRoundTrip)
{
    EXPECT_EQ(labelsOf<NavigationSection>(),
              QStringList({"All Applications", "Main /Applications", "Nested Subfolders",
                           "Offloaded Apps", "Copied (Backup)", "Duplicate Aliases",
                           "History & Ledgers"}));
    EXPECT_EQ(labelsOf<AppStatusFilter>(),
              QStringList({"All Status", "On Mac", "Offloaded", "Copied", "Out of Sync",
                           "Replaced Offload", "Duplicates", "Drive Missing", "Protected"}));
    EXPECT_EQ(labelsOf<AppSizeFilter>(),
              QStringList({"All Sizes", "> 100 MB", "> 500 MB", "> 1 GB", "> 5 GB", "> 10 GB"}));
    EXPECT_EQ(
        labelsOf<AppSortOrder>(),
        QStringList({"Size (Largest)", "Size (Smallest)", QString::fromUtf8("Name (A\u2013Z)"),
                     QString::fromUtf8("Name (Z\u2013A)"), "Status"}));
    expectRoundTrip<NavigationSection>();
    expectRoundTrip<AppStatusFilter>();
    expectRoundTrip<AppSizeFilter>();
    expectRoundTrip<AppSortOrder>();
}

TEST(ListVocabularyTest, OnlyExactLabelsMatch)
{
    EXPECT_FALSE(fromLabel<NavigationSection>("all applications"));
    EXPECT_FALSE(fromLabel<NavigationSection>("All Applications "));
    EXPECT_FALSE(fromLabel<NavigationSection>(""));
    EXPECT_FALSE(fromLabel<NavigationSection>("Main/Applications"));
    EXPECT_FALSE(fromLabel<AppSortOrder>("Name (A-Z)"));
    EXPECT_FALSE(fromLabel<AppStatusFilter>("Backup Out-of-Sync"));
    EXPECT_FALSE(fromLabel<AppStatusFilter>("App Proxy"));
}

TEST(ListVocabularyTest, SizeThresholdsAreBinaryMultiples)
{
    const QList<qint64> expected{
        0, 104'857'600, 524'288'000, 1'073'741'824, 5'368'709'120, 10'737'418'240};
    QList<qint64> actual;
    const QList<AppSizeFilter> cases = allCases<AppSizeFilter>();
    for (const AppSizeFilter filter : cases)
        actual.append(minimumBytes(filter));
    EXPECT_EQ(actual, expected);
}
