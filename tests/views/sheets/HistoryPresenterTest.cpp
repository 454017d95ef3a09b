#include "views/sheets/HistoryPresenter.h"
#include "services/LedgerService.h"
#include "support/Sandbox.h"
#include "views/kit/Palette.h"

#include <gtest/gtest.h>

namespace {

MigrationRecord record(const QString &name, const QString &from,
                       std::optional<QString> to = std::nullopt,
                       const QString &status = QStringLiteral("active"),
                       const QString &timestamp = QStringLiteral("2025-01-31T14:05:09Z"))
{
    return MigrationRecord(timestamp, name, std::nullopt, std::nullopt, from, std::move(to), true,
                           status, {});
}

TEST(HistoryPresenterTest, TestRecordsAreWhatThePurgeRemoves)
{
    const struct
    {
        MigrationRecord record;
        bool isTest;
    } cases[] = {
        {record("Editor", "/Applications/Editor.app", "/Volumes/D/Applications/Editor.app"), false},
        {record("MySampleApp", "/Applications/MySampleApp.app"), true},
        {record("LatestApp", "/Applications/LatestApp.app"), true},
        {record("Foo", "/private/var/folders/xy/T/Foo.app"), true},
        {record("Foo", "/PRIVATE/TMP/Foo.app"), true},
        // Only the service's rule catches these two; the counts must include them too.
        {record("Foo", "/private/var/db/Foo.app"), true},
        {record("Foo", "/Applications/Foo.app", "/tmp/Drive/Foo.app"), true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(HistoryPresenter::isTestRecord(c.record), c.isTest)
            << c.record.appName.toStdString() << " " << c.record.appOriginalPath.toStdString();
}

TEST(HistoryPresenterTest, PurgeDialogAnnouncesExactlyWhatIsRemoved)
{
    Sandbox sandbox;
    LedgerService ledger;
    const QList<MigrationRecord> written = {
        record("Editor", "/Applications/Editor.app", {}, "active", "2025-01-01T00:00:01Z"),
        record("SampleApp", "/Applications/SampleApp.app", {}, "active", "2025-01-01T00:00:02Z"),
        record("Db", "/private/var/db/Db.app", {}, "active", "2025-01-01T00:00:03Z"),
        record("Viewer", "/Applications/Viewer.app", "/tmp/x/Viewer.app", "copied",
               "2025-01-01T00:00:04Z"),
    };
    for (const MigrationRecord &each : written)
        ledger.recordMigration(each);
    ASSERT_EQ(ledger.records().size(), 4);

    const HistoryPresenter before(ledger.records(), true);
    EXPECT_EQ(before.testRecordCount(), 3);
    EXPECT_EQ(before.purgeConfirmButtonText(), QStringLiteral("Purge 3 Test Records"));
    EXPECT_EQ(before.purgeConfirmMessage(),
              QStringLiteral("This will permanently remove all 3 synthetic SampleApp and temporary "
                             "test records from the migration ledger, keeping only real "
                             "application records."));
    ledger.purgeTestRecords();
    EXPECT_EQ(ledger.records().size(), 4 - before.testRecordCount());
}

TEST(HistoryPresenterTest, CountsFilterAndEmptyState)
{
    const QList<MigrationRecord> tests = {record("SampleApp", "/Applications/SampleApp.app"),
                                          record("TestApp", "/tmp/TestApp.app")};
    const struct
    {
        const char *name;
        QList<MigrationRecord> records;
        bool hide;
        QString header;
        QString all;
        bool purgeButton;
        bool empty;
    } cases[] = {
        // clang-format off
        {"empty ledger", {}, true, "0 recorded operation(s)", "All (0)", false, true},
        {"only tests, real apps", tests, true, "0 recorded operation(s)", "All (2)", true, true},
        {"only tests, all", tests, false, "2 recorded operation(s)", "All (2)", true, false},
        {"one real", {record("Editor", "/Applications/Editor.app")}, true, "1 recorded operation(s)",
         "All (1)", false, false},
        // clang-format on
    };
    for (const auto &c : cases) {
        const HistoryPresenter presenter(c.records, c.hide);
        EXPECT_EQ(presenter.headerCountText(), c.header) << c.name;
        EXPECT_EQ(presenter.allSegmentText(), c.all) << c.name;
        EXPECT_EQ(presenter.showsPurgeButton(), c.purgeButton) << c.name;
        EXPECT_EQ(presenter.purgeMenuEnabled(), c.purgeButton) << c.name;
        EXPECT_EQ(presenter.showsEmptyState(), c.empty) << c.name;
    }
    const HistoryPresenter twoTests(tests, true);
    EXPECT_EQ(twoTests.purgeButtonText(), QStringLiteral("Purge Tests (2)"));
    EXPECT_EQ(twoTests.purgeMenuText(), QStringLiteral("Purge Test Records (2)"));
}

TEST(HistoryPresenterTest, RowBadgeAndOptionalLines)
{
    const struct
    {
        QString status;
        QString badge;
        QColor colour;
    } badges[] = {
        {"active", "ACTIVE", Palette::blue()},
        {"completed", "COMPLETED", Palette::blue()},
        {"restored", "RESTORED", Palette::green()},
        {"copied", "COPIED", Palette::teal()},
        {"Active", "ACTIVE", Palette::secondaryText()},
        {"weird", "WEIRD", Palette::secondaryText()},
    };
    for (const auto &b : badges) {
        const HistoryRow row =
            HistoryPresenter::row(record("A", "/Applications/A.app", {}, b.status));
        EXPECT_EQ(row.badgeText, b.badge);
        EXPECT_EQ(row.badgeColor, b.colour) << b.status.toStdString();
    }

    const HistoryRow bare = HistoryPresenter::row(record("A", "/Applications/A.app"));
    EXPECT_EQ(bare.id, QStringLiteral("2025-01-31T14:05:09Z_A"));
    EXPECT_TRUE(bare.versionText.isEmpty());
    EXPECT_FALSE(bare.toText.has_value());
    EXPECT_TRUE(bare.folderCountText.isEmpty());
    EXPECT_EQ(bare.fromText, QStringLiteral("From: /Applications/A.app"));

    MigrationRecord full = record("A", "/Applications/A.app", "/Volumes/D/Applications/A.app");
    full.version = QStringLiteral("2.1");
    full.supportFolders = {{"/s/a", "/d/a", "a", true}, {"/s/b", "/d/b", "b", true}};
    const HistoryRow rich = HistoryPresenter::row(full);
    EXPECT_EQ(rich.versionText, QStringLiteral("v2.1"));
    EXPECT_EQ(rich.toText, QStringLiteral("To: /Volumes/D/Applications/A.app"));
    EXPECT_EQ(rich.folderCountText, QStringLiteral("2 support folder(s)"));
}

// What stays after a removal is said in words that fit the counts and the drives.
TEST(HistoryPresenterTest, WhatARemovalLeavesIsSaid)
{
    const MigrationRecord a = record("A", "/Applications/A.app");
    const MigrationRecord b = record("B", "/Applications/B.app");
    const struct
    {
        const char *name;
        HistoryRemoval removal;
        const char *cleared;
        const char *deleted; // of 'A'
    } cases[] = {
        {"AllGone",
         {2, {}, {}, 0},
         "History cleared: 2 entries removed.",
         "The entry of 'A' was deleted."},
        {"OneKeptByADrive",
         {1, {a}, {"Backup"}, 0},
         "History cleared: 1 entry removed. 1 entry stays: the drive 'Backup' keeps it.",
         "The entry of 'A' stays: the drive 'Backup' keeps it."},
        {"TwoKeptByTwoDrives",
         {0, {a, b}, {"Backup", "Spare"}, 0},
         "History cleared: no entry removed. 2 entries stay: the drives 'Backup' and 'Spare' keep "
         "them.",
         "The entry of 'A' stays: the drives 'Backup' and 'Spare' keep it."},
        {"KeptByThreeDrives",
         {0, {a, b}, {"A", "B", "C"}, 0},
         "History cleared: no entry removed. 2 entries stay: the drives 'A', 'B' and 'C' keep "
         "them.",
         "The entry of 'A' stays: the drives 'A', 'B' and 'C' keep it."},
        {"TheMacsLedgerNotRewritten",
         {0, {}, {}, 1},
         "History cleared: no entry removed. 1 entry could not be removed: your Mac's ledger could "
         "not be rewritten.",
         "The entry of 'A' could not be removed: your Mac's ledger could not be rewritten."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(HistoryPresenter::clearOutcome(c.removal), QString::fromUtf8(c.cleared));
        EXPECT_EQ(HistoryPresenter::deleteOutcome(QStringLiteral("A"), c.removal),
                  QString::fromUtf8(c.deleted));
    }
    // The dialog promises the entire history only where no drive keeps any of it.
    EXPECT_TRUE(HistoryPresenter::clearConfirmMessage().contains(
        QStringLiteral("clear the entire migration history log?")));
    EXPECT_FALSE(HistoryPresenter::clearConfirmMessage(1, {QStringLiteral("Backup")})
                     .contains(QStringLiteral("entire")));
}

} // namespace
