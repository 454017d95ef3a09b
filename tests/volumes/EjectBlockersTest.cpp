#include "VolumeFixtures.h"

#include "volumes/EjectBlockers.h"

#include <QHash>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using Kind = EjectProcessKind;

TEST(EjectBlockersTest, ClassifiesByPidThenNameThenPath)
{
    struct Row
    {
        const char *name;
        const char *path;
        qint32 pid;
        Kind expected;
    };
    const Row rows[] = {
        {"TextEdit", "/Applications/TextEdit.app/Contents/MacOS/TextEdit", 1, Kind::protectedCore},
        {"TextEdit", "", 0, Kind::protectedCore},
        {"TextEdit", "/Applications/TextEdit.app/Contents/MacOS/TextEdit", 500, Kind::userApp},
        {"launchd", "", 500, Kind::protectedCore},
        {"WindowServer", "/Applications/x", 500, Kind::protectedCore},
        // Name rules come before the path rules.
        {"Dock", "/System/Library/CoreServices/Dock.app/Contents/MacOS/Dock", 500,
         Kind::safeSystemHelper},
        {"FINDER", "", 500, Kind::safeSystemHelper},
        {"mds_stores", "/System/Library/mds_stores", 500, Kind::safeSystemHelper},
        {"netspotlightd", "", 500, Kind::safeSystemHelper},
        {"com.apple.quicklook.thumbnail", "", 500, Kind::safeSystemHelper},
        {"MyHelper", "/Applications/My.app/Contents/Library/LoginItems/MyHelper.app/x", 500,
         Kind::safeSystemHelper},
        {"Agent", "/Applications/My.app/Contents/Library/LaunchAgents/Agent", 500,
         Kind::safeSystemHelper},
        {"somed", "/usr/libexec/somed", 500, Kind::protectedCore},
        {"tool", "/usr/sbin/tool", 500, Kind::protectedCore},
        {"tool", "/sbin/tool", 500, Kind::protectedCore},
        {"tool", "/system/tool", 500, Kind::userApp},
        {"sleep", "/usr/bin/sleep", 500, Kind::userApp},
        {"", "", 500, Kind::userApp},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(EjectBlockers::classifyProcess(QString::fromLatin1(row.name),
                                                 QString::fromLatin1(row.path), row.pid),
                  row.expected)
            << row.name << " " << row.path << " " << row.pid;
    }
}

TEST(EjectBlockersTest, ParsesLsofOutput)
{
    const qint32 ownPid = 4242;
    const QHash<qint32, QString> paths = {
        {200, QStringLiteral("/Applications/Preview.app/Contents/MacOS/Preview")},
        {300, QStringLiteral("/usr/libexec/diskd")},
    };
    const auto pathOf = [&](qint32 pid) { return paths.value(pid); };
    struct Row
    {
        const char *label;
        QByteArray output;
        QList<EjectBlocker> expected;
    };
    const Row rows[] = {
        {"one process twice, no readable path",
         "p123\ncFinder\nf12\nn/Volumes/D/a\np123\ncFinder\nf13\n",
         {{123, QStringLiteral("Finder"), Kind::safeSystemHelper}}},
        {"command before any process",
         "cvim\np77\nc  vim \n",
         {{77, QStringLiteral("vim"), Kind::userApp}}},
        {"bad number keeps the last process",
         "p77\ncvim\npx9\ncother\np\ncthird\np88\ncbash\n",
         {{77, QStringLiteral("vim"), Kind::userApp}, {88, QStringLiteral("bash"), Kind::userApp}}},
        {"number with sign and overflow",
         "p+90\ncone\np99999999999\nctwo\n",
         {{90, QStringLiteral("one"), Kind::userApp}}},
        {"own process left out",
         "p4242\nckorvanthelix\np91\ncvim\n",
         {{91, QStringLiteral("vim"), Kind::userApp}}},
        {"name from the executable; core left out",
         "p200\ncPrev\np300\ncdiskd\n",
         {{200, QStringLiteral("Preview"), Kind::userApp}}},
        {"empty output", "", {}},
    };
    for (const Row &row : rows) {
        const std::optional<QList<EjectBlocker>> blockers =
            EjectBlockers::parseLsofOutput(row.output, ownPid, pathOf);
        ASSERT_TRUE(blockers) << row.label;
        EXPECT_EQ(*blockers, row.expected) << row.label;
    }
    EXPECT_FALSE(EjectBlockers::parseLsofOutput("p12\nc\xff\xfe\n", ownPid, pathOf));
}

TEST(EjectBlockersTest, AScanIsCompleteOnlyWhenLsofRanToTheEnd)
{
    struct Row
    {
        const char *label;
        ToolRun run;
        bool complete;
        int blockers;
    };
    const auto run = [](bool started, bool timedOut, QByteArray output) {
        ToolRun r;
        r.started = started;
        r.timedOut = timedOut;
        r.exitCode = timedOut ? -1 : 1;
        r.output = std::move(output);
        return r;
    };
    const Row rows[] = {
        {"finished, nothing open", run(true, false, ""), true, 0},
        {"finished with a holder", run(true, false, "p50\ncvim\n"), true, 1},
        {"cut off at the limit", run(true, true, "p50\ncvim\n"), false, 1},
        {"could not start", run(false, false, ""), false, 0},
        {"not UTF-8", run(true, false, "p50\nc\xff\n"), false, 0},
    };
    for (const Row &row : rows) {
        Sandbox box;
        box.system().fakeEjectTools().queueLsof(row.run);
        const EjectBlockerScan scan =
            EjectBlockers::findEjectBlockers(QStringLiteral("/Volumes/D"));
        EXPECT_EQ(scan.complete, row.complete) << row.label;
        EXPECT_EQ(scan.blockers.size(), row.blockers) << row.label;
        EXPECT_EQ(box.system().fakeEjectTools().calls(),
                  QStringList{QStringLiteral("lsof -F pc -n -P +f -- /Volumes/D")})
            << row.label;
    }
}

TEST(EjectBlockersTest, RunningAppsBelongToTheDriveByPlaceOrByTheLedger)
{
    const auto record = [](const char *original, std::optional<QString> target,
                           const QString &status) {
        MigrationRecord r;
        r.appName = QStringLiteral("App");
        r.appOriginalPath = QString::fromLatin1(original);
        r.appTargetPath = std::move(target);
        r.status = status;
        return r;
    };
    const QList<MigrationRecord> records = {
        record("/Applications/Moved.app", QStringLiteral("/Volumes/Drive/Applications/Moved.app"),
               MigrationStatus::active()),
        record("/Applications/Other.app", QStringLiteral("/Volumes/Drive2/Applications/Other.app"),
               MigrationStatus::active()),
        record("/Applications/Whole.app", QStringLiteral("/Volumes/Drive"),
               MigrationStatus::active()),
        record("/Applications/Back.app", QStringLiteral("/Volumes/Drive/Applications/Back.app"),
               MigrationStatus::restored()),
        record("/Applications/Copy.app", QStringLiteral("/Volumes/Drive/Applications/Copy.app"),
               MigrationStatus::copied()),
        record("/Applications/NoTarget.app", std::nullopt, MigrationStatus::active()),
    };
    struct Row
    {
        const char *bundle;
        bool belongs;
    };
    const Row rows[] = {
        {"/Volumes/Drive/Applications/Anything.app", true},
        {"/Volumes/Drive/../Drive/Nested/X.app", true},
        {"/Applications/Moved.app", true},
        {"/Applications/Whole.app", true},
        {"/Volumes/Drive2/Applications/Other.app", false},
        {"/Applications/Other.app", false},
        {"/Applications/Back.app", false},
        {"/Applications/Copy.app", false},
        {"/Applications/NoTarget.app", false},
    };
    for (const Row &row : rows) {
        const QString bundle = QString::fromLatin1(row.bundle);
        const QStringList found = EjectBlockers::runningOffloadedApps(
            QStringLiteral("/Volumes/Drive"), records, {bundle});
        EXPECT_EQ(found.size(), row.belongs ? 1 : 0) << row.bundle;
    }
}

} // namespace
