// Ledger records as a drive's ledger may carry them after someone edited it: every operation
// that acts on a record refuses one that leads outside the product's own places, and leaves
// the places it names as they were.

#include "services/RecordRule.h"
#include "services/PrivilegeHelper.h"
#include "support/FakeTool.h"
#include "transfer/OffloadPipelineFixture.h"
#include "transfer/RestoreEngine.h"

#include <QFile>

namespace {

enum class Act { restore, reoffload, updateBackup };

const char *actName(Act act)
{
    switch (act) {
    case Act::restore:
        return "Restore";
    case Act::reoffload:
        return "Reoffload";
    case Act::updateBackup:
        return "UpdateBackup";
    }
    return "";
}

// The record's first support folder, made as an offload makes it when the record has none.
SupportFolderRecord &firstFolder(PipelineScenario &s, MigrationRecord &record)
{
    if (record.supportFolders.isEmpty())
        record.supportFolders.append(
            {s.sandbox.userSupport() + QStringLiteral("/Foo"),
             s.sandbox.drive() + QStringLiteral("/Application Support/Foo"), QStringLiteral("Foo"),
             true});
    return record.supportFolders.first();
}

// A folder of the user's that no operation of ours may touch.
QString secrets(PipelineScenario &s)
{
    const QString ssh = s.sandbox.home() + QStringLiteral("/.ssh");
    Sandbox::writeFile(ssh + QStringLiteral("/authorized_keys"), "ssh-ed25519 AAAA mine", 0600);
    return ssh;
}

QString launchDaemons(PipelineScenario &s)
{
    const QString folder = s.sandbox.path(QStringLiteral("Library/LaunchDaemons"));
    Sandbox::writeFile(folder + QStringLiteral("/com.acme.agent.plist"), "<plist/>");
    return folder;
}

// The escaping text a refusal names, and the places it leads to.
struct Escape
{
    QString named;
    QStringList places;
};

struct EscapeCase
{
    const char *name;
    // Edits the record.
    std::function<Escape(PipelineScenario &, MigrationRecord &)> edit;
    // Only a restore takes the application's place from the record; the others take it from
    // the scan.
    bool restoreOnly = false;
};

const QList<EscapeCase> &escapeCases()
{
    static const QList<EscapeCase> cases{
        {"SupportSourceInTheHomeFolder",
         [](PipelineScenario &s, MigrationRecord &r) -> Escape {
             const QString ssh = secrets(s);
             firstFolder(s, r).source = ssh;
             return Escape{ssh, QStringList{ssh}};
         }},
        {"SupportSourceInASystemFolder",
         [](PipelineScenario &s, MigrationRecord &r) -> Escape {
             const QString daemons = launchDaemons(s);
             firstFolder(s, r).source = daemons;
             return Escape{daemons, QStringList{daemons}};
         }},
        {"SupportSourceBelowAFolderThatLinksOut",
         [](PipelineScenario &s, MigrationRecord &r) -> Escape {
             const QString ssh = secrets(s);
             const QString link = s.sandbox.userSupport() + QStringLiteral("/Shared");
             Sandbox::makeSymlink(link, s.sandbox.home());
             firstFolder(s, r).source = link + QStringLiteral("/.ssh");
             return Escape{link + QStringLiteral("/.ssh"), QStringList{ssh}};
         }},
        {"SupportCopyOutsideTheDrivesFolders",
         [](PipelineScenario &s, MigrationRecord &r) -> Escape {
             const QString other = s.sandbox.drive() + QStringLiteral("/Other/Foo");
             Sandbox::writeFile(other + QStringLiteral("/prefs"), "other");
             firstFolder(s, r).target = other;
             return Escape{other, QStringList{other}};
         }},
        {"SupportCopyLinkedOutOfTheDrive",
         [](PipelineScenario &s, MigrationRecord &r) -> Escape {
             const QString ssh = secrets(s);
             const QString link = s.sandbox.drive() + QStringLiteral("/Application Support/Keys");
             Sandbox::makeSymlink(link, ssh);
             firstFolder(s, r).target = link;
             return Escape{link, QStringList{ssh}};
         }},
        {"DriveCopyOutsideTheDrivesFolders",
         [](PipelineScenario &s, MigrationRecord &r) -> Escape {
             const QString loose = s.sandbox.drive() + QStringLiteral("/Foo.app");
             Sandbox::writeFile(loose + QStringLiteral("/Contents/Info.plist"), "<plist/>");
             r.appTargetPath = loose;
             return Escape{loose, QStringList{loose}};
         }},
        {"DriveCopyOnTheMac",
         [](PipelineScenario &s, MigrationRecord &r) -> Escape {
             const QString other = s.sandbox.applications() + QStringLiteral("/Other.app");
             Sandbox::writeFile(other + QStringLiteral("/Contents/Info.plist"), "<plist/>");
             r.appTargetPath = other;
             return Escape{other, QStringList{other}};
         }},
        {"ApplicationOutsideTheApplicationsFolders",
         [](PipelineScenario &s, MigrationRecord &r) -> Escape {
             const QString daemons = launchDaemons(s);
             r.appOriginalPath = daemons + QStringLiteral("/Foo.app");
             return Escape{r.appOriginalPath, QStringList{daemons}};
         },
         true},
        {"ApplicationBelowAFolderThatLinksOut",
         [](PipelineScenario &s, MigrationRecord &r) -> Escape {
             const QString daemons = launchDaemons(s);
             const QString link = s.sandbox.applications() + QStringLiteral("/Tools");
             Sandbox::makeSymlink(link, daemons);
             r.appOriginalPath = link + QStringLiteral("/Foo.app");
             return Escape{r.appOriginalPath, QStringList{daemons}};
         },
         true},
    };
    return cases;
}

// Each case with each operation that can act on the field it edits.
std::vector<std::tuple<int, Act>> refusalCases()
{
    std::vector<std::tuple<int, Act>> cases;
    for (int i = 0; i < int(escapeCases().size()); ++i) {
        for (const Act act : {Act::restore, Act::reoffload, Act::updateBackup}) {
            if (act == Act::restore || !escapeCases().at(i).restoreOnly)
                cases.emplace_back(i, act);
        }
    }
    return cases;
}

class RecordRuleRefusal : public ::testing::TestWithParam<std::tuple<int, Act>>
{};

TEST_P(RecordRuleRefusal, RefusesBeforeTouchingAnything)
{
    const EscapeCase &c = escapeCases().at(std::get<0>(GetParam()));
    const Act act = std::get<1>(GetParam());
    PipelineScenario scenario(
        act == Act::updateBackup ? Operation::updateBackup : Operation::reoffload, 1);
    if (act == Act::restore) {
        // As the offload left it: a link to the drive copy where the application stood.
        const QString place = scenario.app.url.toLocalFile();
        QDir(place).removeRecursively();
        Sandbox::makeSymlink(place, scenario.finalBundle);
    }
    ASSERT_EQ(scenario.ledger.records().size(), 1);
    MigrationRecord record = scenario.ledger.records().first();
    const Escape escape = c.edit(scenario, record);
    const QString &named = escape.named;
    const QStringList &places = escape.places;
    // The edited record reaches this Mac only through the drive's ledger.
    QFile::remove(scenario.ledger.ledgerFileURL().toLocalFile());
    QFile::remove(scenario.sandbox.drive() + QLatin1Char('/') +
                  LedgerService::driveLedgerFileName());
    scenario.ledger.recordMigration(record, scenario.target.url);
    QFile::remove(scenario.ledger.ledgerFileURL().toLocalFile());
    scenario.ledger.loadRecords();
    ASSERT_EQ(scenario.ledger.records(), QList<MigrationRecord>{record});

    scenario.macBefore = scenario.macDigest();
    QList<TreeDigest> before;
    for (const QString &place : places)
        before.append(digestTree(place));
    const TreeDigest driveBefore = digestTree(scenario.sandbox.drive());

    std::optional<OperationError> error;
    if (act == Act::restore) {
        RestoreEngine restore(scenario.ledger);
        restore.setSleeper([](std::chrono::nanoseconds) {});
        error = errorOfFuture(restore.restoreApplication(record, scenario.target.url));
    } else {
        error = errorOfFuture(scenario.start());
    }

    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 407) << error->message().toStdString();
    EXPECT_TRUE(error->message().startsWith(QStringLiteral("Invalid migration record for 'Foo': ")))
        << error->message().toStdString();
    EXPECT_TRUE(error->message().contains(QLatin1Char('\'') + named + QLatin1Char('\'')))
        << error->message().toStdString();
    for (qsizetype i = 0; i < places.size(); ++i)
        EXPECT_EQ(describeDifference(before.at(i), digestTree(places.at(i))), QString())
            << places.at(i).toStdString();
    EXPECT_TRUE(scenario.macUnchanged());
    EXPECT_EQ(describeDifference(driveBefore, digestTree(scenario.sandbox.drive())), QString());
}

INSTANTIATE_TEST_SUITE_P(, RecordRuleRefusal, ::testing::ValuesIn(refusalCases()),
                         [](const auto &info) {
                             return std::string(escapeCases().at(std::get<0>(info.param)).name) +
                                    actName(std::get<1>(info.param));
                         });

// What the product writes itself passes the rule all the way round: offloaded, replaced by
// an updater, re-offloaded, and restored.
TEST(RecordRule, RecordsTheProductWritesStillReoffloadAndRestore)
{
    PipelineScenario offload(Operation::offload, 2);
    ASSERT_EQ(offload.run(), 0) << offload.errorMessage.toStdString();
    const MigrationRecord first = offload.ledger.records().first();
    EXPECT_TRUE(RecordRule::check(first).ok) << first.supportFolders.size();

    // An updater puts a real bundle where the proxy stood.
    const QString place = offload.app.url.toLocalFile();
    const TreeDigest update = offload.originals.first().digest;
    PrivilegeHelper::safeRemove(place);
    ASSERT_TRUE(platformCopy(offload.finalBundle, place));
    offload.operation = Operation::reoffload;
    ASSERT_EQ(offload.run(), 0) << offload.errorMessage.toStdString();
    const MigrationRecord again = offload.ledger.records().first();
    EXPECT_EQ(again.supportFolders, first.supportFolders);

    RestoreEngine restore(offload.ledger);
    restore.setSleeper([](std::chrono::nanoseconds) {});
    AppItem item = offload.app;
    item.isSymlink = item.isAlias = true;
    item.symlinkTarget = offload.finalBundle;
    const std::optional<OperationError> error =
        errorOfFuture(restore.restoreBatch({item}, offload.target.url));
    ASSERT_FALSE(error) << error->message().toStdString();
    EXPECT_EQ(describeDifference(update, digestTree(place)), QString());
    for (const SupportFolderRecord &folder : first.supportFolders)
        EXPECT_TRUE(PathUtils::isDirectoryNoFollow(folder.source)) << folder.source.toStdString();
}

} // namespace
