#include "model/TargetVolume.h"

#include <gtest/gtest.h>

namespace {

// Flags: W writable, L supports links.
TargetVolume volume(const QString &type, const QString &flags = "WL", qint64 total = 1000,
                    qint64 free = 250)
{
    const bool writable = flags.contains('W'), links = flags.contains('L');
    return {QUrl::fromLocalFile("/Volumes/D"), "D", total, free, true, writable, type, links};
}

} // namespace

TEST(TargetVolumeTest, CompatibilityReasonAndDisplay)
{
    const QString readOnly = "Volume is read-only or permission is denied.";
    const QString noLinks =
        "Drive does not support symbolic links required by application bundles.";
    const QString ntfs = "NTFS drives are read-only on macOS and cannot host macOS applications.";
    const auto fat = [](const QString &type) -> QString {
        return "Drive format '" + type +
               "' does not support macOS permissions, code-signing, or symlinks. macOS apps "
               "require APFS or Mac OS Extended (Journaled).";
    };
    const struct
    {
        TargetVolume volume;
        bool compatible;
        std::optional<QString> reason;
        QString display;
    } rows[] = {
        {volume("apfs"), true, {}, "APFS"},
        {volume("hfs"), true, {}, "HFS+ (Journaled)"},
        {volume("Mac OS Extended (Journaled)"), true, {}, "Mac OS Extended (Journaled)"},
        {volume("Ext4"), true, {}, "Ext4"},
        {volume("ext4dev"), false, {}, "ext4dev"},
        {volume("ufs"), false, {}, "ufs"},
        {volume("ExFAT"), false, fat("ExFAT"), "ExFAT"},
        {volume("MSDOS", "L"), false, readOnly, "MSDOS"},
        {volume("NTFS"), false, ntfs, "NTFS"},
        {volume("APFS", "W"), false, noLinks, "APFS"},
    };
    for (const auto &row : rows) {
        const QString type = row.volume.fileSystemType;
        EXPECT_EQ(row.volume.isCompatible(), row.compatible) << qPrintable(type);
        EXPECT_EQ(row.volume.incompatibilityReason(), row.reason) << qPrintable(type);
        EXPECT_EQ(row.volume.fileSystemDisplay(), row.display) << qPrintable(type);
    }
}

TEST(TargetVolumeTest, UsageIsAFractionWithinRange)
{
    EXPECT_DOUBLE_EQ(volume("apfs", "WL", 1000, 250).usagePercentage(), 0.75);
    EXPECT_DOUBLE_EQ(volume("apfs", "WL", 1000, 2000).usagePercentage(), 0.0);
    EXPECT_DOUBLE_EQ(volume("apfs", "WL", 1000, -10).usagePercentage(), 1.0);
    // Another reading of the same drive is another value with the same id.
    EXPECT_NE(volume("apfs", "WL", 1000, 250), volume("apfs", "WL", 1000, 200));
}
