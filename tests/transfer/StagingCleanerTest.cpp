#include "transfer/StagingCleaner.h"

#include "base/PathUtils.h"
#include "services/LedgerService.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"
#include "support/Wait.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

const QString uuid = QStringLiteral("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");

// One item left in a scanned folder: where, its name (with "<U>" for a UUID text), its size
// in bytes (0: a dangling link), and what the scan should make of it.
struct Leftover
{
    const char *folder; // below the sandbox root
    const char *name;
    int bytes;
    bool listed;
    bool recovery = false;
    bool missing = false;
    // A copy staged on the drive: listed only while no transfer runs.
    bool partial = false;
};

struct CleanerScene
{
    Sandbox sandbox;
    LedgerService ledger;
    StagingCleaner cleaner{ledger};

    QString place(const Leftover &item) const
    {
        QString name = QString::fromLatin1(item.name);
        name.replace(QStringLiteral("<U>"), uuid);
        return sandbox.path(QString::fromLatin1(item.folder)) + QLatin1Char('/') + name;
    }
    void make(const Leftover &item)
    {
        if (item.bytes == 0)
            sandbox.makeSymlink(place(item), sandbox.path("gone"));
        else
            sandbox.writeFile(place(item) + QStringLiteral("/payload"),
                              QByteArray(item.bytes, 'x'));
    }
};

// Sizes are distinct except where the order of equal sizes is the point.
const QList<Leftover> leftovers = {
    {"Applications", "Foo.app.restoring-<U>", 10, true},
    // Offloaded with a record and a proxy in place: the original is there.
    {"Applications", ".Foo.app.offload-rollback-<U>", 50, true, true, false},
    // No record and only a link where it came from: missing.
    {"Applications", ".Bar.app.offload-rollback-<U>", 40, true, true, true},
    {"Applications", ".Baz.app.offload-rollback-<U>", 30, true, true, true},
    // Offloaded, and then it could not be deleted: its copy is on the drive, so it is no recovery
    // copy. One of an application in a nested folder is found beside the place its record names.
    {"Applications", ".Old.app.offloaded-<U>", 45, true},
    {"Applications/Tools", ".Nested.app.offloaded-<U>", 35, true},
    {"Users/tester/Library/Application Support", ".Qux.rollback-<U>", 10, true, true, false},
    {"Library/Application Support", "Zed.staging-<U>", 20, true},
    {"Volumes/Drive/Applications", ".Foo.app.rollback-<U>", 60, true, true, false},
    {"Applications", "Dangling.app.staging-<U>", 0, true},
    {"Applications", "com.acme.staging-tool", 5, false},
    // A program killed mid-copy leaves its staged copy behind.
    {"Volumes/Drive/Applications", "Bar.app.korvanthelix-partial", 70, true, false, false, true},
    {"Volumes/Drive/Application Support", "Bar.korvanthelix-partial", 7, true, false, false, true},
    {"Applications", "Foo.app.korvanthelix-partial", 8, true, false, false, true},
    {"Volumes/Drive/Applications/Utilities/Tools", "Deep.app.korvanthelix-partial", 9, true, false,
     false, true},
    {"Volumes/Drive/Applications/Utilities/Kit.app/Contents", "Inner.korvanthelix-partial", 5,
     false},
    {"Applications", ".korvanthelix-partial", 5, false},
    {"Applications", "Foo.app.korvanthelix-partial.old", 5, false},
    {"Applications", "Foo.app.staging-<U>.bak", 5, false},
    {"Applications", "Foo.app.restoring-not-a-uuid", 5, false},
    {"Applications", "Foo.app.restoring-0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0", 5, false},
    {"Applications", ".restoring-<U>", 5, false},
    {"Users/tester/Library/Application Support", "Qux.preserved-local-<U>", 5, false},
    {"Applications/Utilities", "Deep.app.staging-<U>", 5, false},
};

void populate(CleanerScene &scene)
{
    for (const Leftover &item : leftovers)
        scene.make(item);
    const QString applications = scene.sandbox.applications();
    writeInfoPlist(applications + "/Foo.app", {{"IsKorvanthelixProxy", true}});
    scene.ledger.recordMigration(MigrationRecord(
        QStringLiteral("2025-01-01T00:00:00Z"), QStringLiteral("Foo"), std::nullopt, std::nullopt,
        applications + "/Foo.app", scene.sandbox.drive() + "/Applications/Foo.app", true,
        MigrationStatus::active(), {}));
    scene.ledger.recordMigration(
        MigrationRecord(QStringLiteral("2025-01-01T00:00:00Z"), QStringLiteral("Nested"),
                        std::nullopt, std::nullopt, applications + "/Tools/Nested.app",
                        scene.sandbox.drive() + "/Applications/Tools/Nested.app", true,
                        MigrationStatus::active(), {}));
    const QString barCopy =
        scene.sandbox.makeFolder(scene.sandbox.drive() + "/Applications/Bar.app");
    scene.sandbox.makeSymlink(applications + "/Bar.app", barCopy);
    scene.sandbox.makeFolder(scene.sandbox.userSupport() + "/Qux");
}

QStringList describe(const QList<OrphanedStagingItem> &items)
{
    QStringList out;
    for (const OrphanedStagingItem &item : items)
        out.append(QStringLiteral("%1 %2%3").arg(QString(item.displayName).replace(uuid, "<U>"),
                                                 item.isRecoveryCopy ? "R" : "-",
                                                 item.hasMissingOriginal ? "M" : "-"));
    return out;
}

TEST(StagingCleaner, ListsOnlyLeftoversWhoseNameEndsInAMarkerAndUuid)
{
    for (const bool withTarget : {false, true}) {
        for (const bool transferRuns : {false, true}) {
            CleanerScene scene;
            populate(scene);
            scene.cleaner.setTransferProbe([&] { return transferRuns; });
            const std::optional<QUrl> target =
                withTarget ? std::optional(QUrl::fromLocalFile(scene.sandbox.drive()))
                           : std::nullopt;
            ASSERT_TRUE(waitFor(scene.cleaner.scanOrphanedItems(target)));

            // Largest first; equal sizes in folder order, then listing order.
            QStringList expected;
            if (withTarget && !transferRuns)
                expected << "Bar.app.korvanthelix-partial --";
            if (withTarget)
                expected << ".Foo.app.rollback-<U> RM";
            expected << ".Foo.app.offload-rollback-<U> R-"
                     << ".Old.app.offloaded-<U> --"
                     << ".Bar.app.offload-rollback-<U> RM"
                     << ".Nested.app.offloaded-<U> --"
                     << ".Baz.app.offload-rollback-<U> RM"
                     << "Zed.staging-<U> --"
                     << "Foo.app.restoring-<U> --"
                     << ".Qux.rollback-<U> R-";
            if (withTarget && !transferRuns)
                expected << "Deep.app.korvanthelix-partial --";
            if (!transferRuns)
                expected << "Foo.app.korvanthelix-partial --";
            if (withTarget && !transferRuns)
                expected << "Bar.korvanthelix-partial --";
            expected << "Dangling.app.staging-<U> --";
            EXPECT_EQ(describe(scene.cleaner.orphanedItems()), expected)
                << "target: " << withTarget << ", transfer: " << transferRuns;
        }
    }
}

// A link where a support folder stood is the mark of a missing original; a record that
// breaks the record rule (here one that calls the folder an application) cannot vouch for it.
TEST(StagingCleaner, RecordsThatBreakTheRuleDoNotVouchForAnOriginal)
{
    CleanerScene scene;
    const QString home = scene.sandbox.userSupport() + QStringLiteral("/Qux");
    scene.sandbox.writeFile(scene.sandbox.userSupport() + QStringLiteral("/.Qux.rollback-") + uuid +
                                QStringLiteral("/payload"),
                            "x");
    const QString copy = scene.sandbox.makeFolder(scene.sandbox.drive() +
                                                  QStringLiteral("/Application Support/Qux"));
    scene.sandbox.makeSymlink(home, copy);
    scene.ledger.recordMigration(MigrationRecord(QStringLiteral("2025-01-01T00:00:00Z"),
                                                 QStringLiteral("Qux"), std::nullopt, std::nullopt,
                                                 home, copy, true, MigrationStatus::active(), {}));
    ASSERT_TRUE(waitFor(scene.cleaner.scanOrphanedItems(std::nullopt)));
    EXPECT_EQ(describe(scene.cleaner.orphanedItems()), QStringList{".Qux.rollback-<U> RM"});
}

TEST(StagingCleaner, CleanupKeepsRecoveryCopiesAndCountsOnlyRealRemovals)
{
    CleanerScene scene;
    populate(scene);
    ASSERT_TRUE(waitFor(scene.cleaner.scanOrphanedItems(std::nullopt)));
    const QFuture<StagingCleanupResult> cleanup = scene.cleaner.cleanAllOrphanedItems(std::nullopt);
    EXPECT_TRUE(scene.cleaner.isCleaning());
    ASSERT_TRUE(waitFor(cleanup));
    ASSERT_TRUE(waitUntil([&] { return !scene.cleaner.isCleaning(); }));

    const StagingCleanupResult result = cleanup.result();
    // The restore and staging copies with content, the partial copy, and the originals whose
    // copies are recorded on the drive.
    EXPECT_EQ(result.removedCount, 5);
    QStringList errors = result.errors;
    errors.replaceInStrings(uuid, QStringLiteral("<U>"));
    EXPECT_EQ(errors.size(), 5);
    EXPECT_TRUE(errors.contains(".Foo.app.offload-rollback-<U>: Recovery copy preserved during "
                                "bulk cleanup. Use Reveal to inspect or remove it manually."));
    EXPECT_TRUE(errors.filter(QRegularExpression("^Dangling\\.app\\.staging-<U>: ")).size() == 1);
    EXPECT_EQ(describe(scene.cleaner.orphanedItems()),
              (QStringList{".Foo.app.offload-rollback-<U> R-", ".Bar.app.offload-rollback-<U> RM",
                           ".Baz.app.offload-rollback-<U> RM", ".Qux.rollback-<U> R-",
                           "Dangling.app.staging-<U> --"}));
    EXPECT_FALSE(
        PathUtils::existsNoFollow(scene.sandbox.applications() + "/Foo.app.korvanthelix-partial"));
}

// Between the scan and the click a folder on the way is made a link to a folder of the Mac
// holding an item of the leftover's name: the cleanup keeps that item and says so.
TEST(StagingCleaner, CleanupRemovesOnlyWhatTheScanListed)
{
    const struct
    {
        const char *name;
        const char *folder; // of the leftover, below the sandbox root
        const char *message;
    } cases[] = {
        {"the drive's Applications folder", "Volumes/Drive/Applications",
         "Kept: the folder '{folder}' is now a link."},
        {"the user's Applications folder", "Users/tester/Applications",
         "Kept: it is no longer the item the leftover scan listed."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        CleanerScene scene;
        const QString folder = scene.sandbox.path(QString::fromLatin1(c.folder));
        const QString name = QStringLiteral("Foo.app.staging-") + uuid;
        scene.sandbox.writeFile(folder + '/' + name + "/payload", "leftover");
        const QString mine = scene.sandbox.home() + QStringLiteral("/Documents/Mine");
        scene.sandbox.writeFile(mine + '/' + name + "/payload", "mine");
        const std::optional<QUrl> target = QUrl::fromLocalFile(scene.sandbox.drive());
        ASSERT_TRUE(waitFor(scene.cleaner.scanOrphanedItems(target)));
        ASSERT_EQ(scene.cleaner.orphanedItems().size(), 1);
        ASSERT_TRUE(QDir().rename(folder, folder + "-away"));
        Sandbox::makeSymlink(folder, mine);

        const QFuture<StagingCleanupResult> cleanup = scene.cleaner.cleanAllOrphanedItems(target);
        ASSERT_TRUE(waitFor(cleanup));
        ASSERT_TRUE(waitUntil([&] { return !scene.cleaner.isCleaning(); }));
        EXPECT_EQ(cleanup.result().removedCount, 0);
        EXPECT_EQ(
            cleanup.result().errors,
            QStringList{name + ": " + QString::fromLatin1(c.message).replace("{folder}", folder)});
        QFile kept(mine + '/' + name + "/payload");
        EXPECT_TRUE(kept.open(QIODevice::ReadOnly) && kept.readAll() == "mine");
    }
}

// Listed while nothing ran, then a transfer started: its staged copy may now be the one listed.
TEST(StagingCleaner, CleanupLeavesStagedCopiesAloneWhileATransferRuns)
{
    CleanerScene scene;
    populate(scene);
    bool transferRuns = false;
    scene.cleaner.setTransferProbe([&] { return transferRuns; });
    const std::optional<QUrl> target = QUrl::fromLocalFile(scene.sandbox.drive());
    ASSERT_TRUE(waitFor(scene.cleaner.scanOrphanedItems(target)));
    ASSERT_EQ(describe(scene.cleaner.orphanedItems()).filter("korvanthelix-partial").size(), 4);

    transferRuns = true;
    const QFuture<StagingCleanupResult> cleanup = scene.cleaner.cleanAllOrphanedItems(target);
    ASSERT_TRUE(waitFor(cleanup));
    ASSERT_TRUE(waitUntil([&] { return !scene.cleaner.isCleaning(); }));
    EXPECT_EQ(cleanup.result().removedCount, 4);
    for (const QString &partial : QStringList{
             scene.sandbox.applications() + "/Foo.app.korvanthelix-partial",
             scene.sandbox.drive() + "/Applications/Bar.app.korvanthelix-partial",
             scene.sandbox.drive() + "/Application Support/Bar.korvanthelix-partial",
             scene.sandbox.drive() + "/Applications/Utilities/Tools/Deep.app.korvanthelix-partial"})
        EXPECT_TRUE(PathUtils::existsNoFollow(partial)) << partial.toStdString();
    EXPECT_TRUE(describe(scene.cleaner.orphanedItems()).filter("korvanthelix-partial").isEmpty());
}

} // namespace
