#include "transfer/RestoreLookup.h"

#include "base/OperationError.h"
#include "support/Sandbox.h"
#include "transfer/RestorePaths.h"

#include <gtest/gtest.h>

namespace {

// Paths below are relative to the sandbox root.
struct Rec
{
    const char *second; // the timestamp's seconds tell the records apart
    const char *status;
    const char *original;
    const char *target;
};

struct LookupCase
{
    const char *name;
    QList<Rec> records;
    const char *linkTarget; // nullptr: a real bundle; relative texts stay relative
    const char *expected;   // the chosen record's seconds, "built", "400" or "407"
};

void PrintTo(const LookupCase &c, std::ostream *os)
{
    *os << c.name;
}

class RestoreLookupTest : public ::testing::TestWithParam<LookupCase>
{};

TEST_P(RestoreLookupTest, ChoosesTheRecordToRestoreFrom)
{
    const LookupCase &c = GetParam();
    Sandbox sandbox;
    const auto at = [&](const char *relative) {
        return sandbox.path(QString::fromLatin1(relative));
    };
    QList<MigrationRecord> records;
    for (const Rec &r : c.records)
        records.append(MigrationRecord(QStringLiteral("2025-01-01T00:00:%1Z").arg(r.second),
                                       QStringLiteral("Editor"), std::nullopt, std::nullopt,
                                       at(r.original), at(r.target), true,
                                       QString::fromLatin1(r.status), {}));
    AppItem app{.url = QUrl::fromLocalFile(at("Applications/Editor.app")),
                .name = QStringLiteral("Editor")};
    if (c.linkTarget) {
        const QString text = QString::fromLatin1(c.linkTarget);
        sandbox.makeSymlink(app.id(), text.startsWith(QLatin1Char('.')) ? text : at(c.linkTarget));
        app.isSymlink = app.isAlias = true;
        app.symlinkTarget = text.startsWith(QLatin1Char('.')) ? text : at(c.linkTarget);
    }

    const QString expected = QString::fromLatin1(c.expected);
    if (expected == QLatin1String("407")) {
        try {
            (void)RestoreLookup::recordFor(app, records);
            FAIL() << "no error";
        } catch (const OperationError &error) {
            EXPECT_EQ(error.code(), 407);
            EXPECT_TRUE(error.message().startsWith("Invalid migration record for 'Editor': the "
                                                   "application path '" +
                                                   at(c.records.first().original) + "'"))
                << error.message().toStdString();
        }
        return;
    }
    if (expected == QLatin1String("400")) {
        try {
            (void)RestoreLookup::recordFor(app, records);
            FAIL() << "no error";
        } catch (const OperationError &error) {
            EXPECT_EQ(error.code(), 400);
            EXPECT_EQ(error.message(), "No valid external destination target known for 'Editor'.");
        }
        return;
    }
    const MigrationRecord found = RestoreLookup::recordFor(app, records);
    if (expected == QLatin1String("built")) {
        EXPECT_EQ(found.status, "active");
        EXPECT_TRUE(found.movedApp);
        EXPECT_EQ(found.appOriginalPath, app.id());
        EXPECT_EQ(found.appTargetPath, at("Volumes/Drive/Applications/Editor.app"));
        return;
    }
    EXPECT_EQ(found.timestamp, QStringLiteral("2025-01-01T00:00:%1Z").arg(expected));
}

constexpr const char *local = "Applications/Editor.app";
constexpr const char *copy = "Volumes/Drive/Applications/Editor.app";
constexpr const char *otherCopy = "Volumes/Other/Applications/Editor.app";

INSTANTIATE_TEST_SUITE_P(
    , RestoreLookupTest,
    ::testing::Values(
        LookupCase{"RecordOfTheLinkTargetWinsEvenWhenLater",
                   {{"01", "active", local, otherCopy}, {"02", "active", local, copy}},
                   copy,
                   "02"},
        LookupCase{"StandInPrefersActiveOverCopied",
                   {{"01", "copied", local, copy}, {"02", "active", "Applications/Old.app", copy}},
                   copy,
                   "02"},
        LookupCase{"RestoredRecordIgnored", {{"01", "restored", local, copy}}, copy, "built"},
        LookupCase{"LinkMovedToAnotherDrive", {{"01", "active", local, otherCopy}}, copy, "built"},
        LookupCase{"RelativeLinkTargetResolvesBesideTheLink",
                   {},
                   "../Volumes/Drive/Applications/Editor.app",
                   "built"},
        LookupCase{"LinkToItsOwnPath", {}, local, "400"},
        LookupCase{"LinkTargetNotOnADrive", {}, "Elsewhere/Editor.app", "400"},
        LookupCase{"RealBundleWithoutRecord", {{"01", "active", "x", copy}}, nullptr, "400"},
        // Records a drive's ledger may carry after an edit: never picked.
        LookupCase{"BrokenRecordPassedOverForASoundOne",
                   {{"01", "active", "Library/LaunchDaemons/Editor.app", copy},
                    {"02", "active", "Applications/Old.app", copy}},
                   copy,
                   "02"},
        LookupCase{"OnlyABrokenRecordMatches",
                   {{"01", "active", "Library/LaunchDaemons/Editor.app", copy}},
                   copy,
                   "407"}),
    [](const auto &info) { return std::string(info.param.name); });

// Only links to existing copies in an "Application Support" folder on a drive are taken.
TEST(RestoreLookup, BuiltRecordTakesOnlySupportLinksIntoDriveSupportFolders)
{
    Sandbox sandbox;
    const QString support = sandbox.drive() + QStringLiteral("/Application Support");
    sandbox.makeFolder(support + QStringLiteral("/Linked"));
    sandbox.makeFolder(support + QStringLiteral("/Relative"));
    sandbox.makeFolder(sandbox.drive() + QStringLiteral("/Loose"));
    AppItem app{.url = QUrl::fromLocalFile(sandbox.applications() + QStringLiteral("/Editor.app")),
                .name = QStringLiteral("Editor")};
    app.isSymlink = app.isAlias = true;
    app.symlinkTarget = sandbox.drive() + QStringLiteral("/Applications/Editor.app");
    const auto folder = [&](const QString &name, std::optional<QString> target) {
        SupportFolder f{.url = QUrl::fromLocalFile(sandbox.userSupport() + QLatin1Char('/') + name),
                        .displayName = name};
        f.isSymlink = f.isAlias = target.has_value();
        f.symlinkTarget = target;
        return f;
    };
    app.supportFolders = {
        folder(QStringLiteral("Linked"), support + QStringLiteral("/Linked")),
        folder(QStringLiteral("Relative"),
               QStringLiteral("../../../../Volumes/Drive/Application Support/Relative")),
        folder(QStringLiteral("Loose"), sandbox.drive() + QStringLiteral("/Loose")),
        folder(QStringLiteral("Missing"), support + QStringLiteral("/Missing")),
        folder(QStringLiteral("Real"), std::nullopt)};

    const MigrationRecord record = RestoreLookup::recordFor(app, {});
    EXPECT_EQ(record.supportFolders,
              (QList<SupportFolderRecord>{
                  {sandbox.userSupport() + "/Linked", support + "/Linked", "Linked", true},
                  {sandbox.userSupport() + "/Relative", support + "/Relative", "Relative", true}}));
}

TEST(RestorePaths, DriveLedgerFoldersRunFromTheCopysFolderUpToTheDrive)
{
    Sandbox sandbox;
    const QString volumes = sandbox.volumesRoot();
    EXPECT_EQ(RestorePaths::driveLedgerFolders(volumes + "/Backup/Apps/Applications/Editor.app"),
              (QList<QUrl>{QUrl::fromLocalFile(volumes + "/Backup/Apps/Applications"),
                           QUrl::fromLocalFile(volumes + "/Backup/Apps"),
                           QUrl::fromLocalFile(volumes + "/Backup")}));
    EXPECT_EQ(RestorePaths::driveLedgerFolders(volumes + "/Backup"), QList<QUrl>());
    EXPECT_EQ(RestorePaths::driveLedgerFolders(sandbox.applications() + "/Editor.app"),
              QList<QUrl>());
}

} // namespace
