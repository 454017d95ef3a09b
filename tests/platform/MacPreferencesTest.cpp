#include "platform/macos/MacPreferences.h"

#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// The two keys keep their types across instances (a fresh object per call, as callers on any
// thread get one), and a key never written reads as nothing.
TEST(MacPreferencesTest, TheTwoKeysKeepTheirValues)
{
#ifdef Q_OS_MACOS
    GTEST_SKIP() << "a Mac keeps native settings in the user's own defaults, not in a folder";
#endif
    const QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    const QString volumeKey = QStringLiteral("Korvanthelix_LastSelectedVolumePath");
    const QString warningKey = QStringLiteral("Korvanthelix_HasAcknowledgedBackupWarning");
    EXPECT_FALSE(MacPreferences().value(volumeKey).isValid());
    EXPECT_FALSE(MacPreferences().value(warningKey).toBool());

    MacPreferences().setValue(volumeKey, QStringLiteral("/Volumes/Été Drive/Korvan, 1=2"));
    MacPreferences().setValue(warningKey, true);
    EXPECT_EQ(MacPreferences().value(volumeKey).toString(),
              QStringLiteral("/Volumes/Été Drive/Korvan, 1=2"));
    EXPECT_TRUE(MacPreferences().value(warningKey).toBool());
    MacPreferences().setValue(warningKey, false);
    EXPECT_FALSE(MacPreferences().value(warningKey).toBool());
    EXPECT_TRUE(MacPreferences().value(warningKey).isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
}
