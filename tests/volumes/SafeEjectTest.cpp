#include "VolumeFixtures.h"

#include "services/AppLogger.h"
#include "services/LedgerService.h"

#include <gtest/gtest.h>

namespace {

using Process = FakeEjectTools::Process;

const QString mdsStores =
    QStringLiteral("/System/Library/Frameworks/CoreServices.framework/mds_stores");

// Short names for the recorded tool calls: L lsof, U unmount, F forced unmount, E eject,
// S sync, T<pid> SIGTERM.
QStringList expandCalls(const QStringList &tokens, const QString &mountPath)
{
    QStringList calls;
    for (const QString &token : tokens) {
        if (token == QLatin1String("L"))
            calls.append(QStringLiteral("lsof -F pc -n -P +f -- ") + mountPath);
        else if (token == QLatin1String("U"))
            calls.append(QStringLiteral("unmount ") + mountPath);
        else if (token == QLatin1String("F"))
            calls.append(QStringLiteral("unmount force ") + mountPath);
        else if (token == QLatin1String("E"))
            calls.append(QStringLiteral("eject ") + mountPath);
        else if (token == QLatin1String("S"))
            calls.append(QStringLiteral("sync"));
        else
            calls.append(QStringLiteral("signal 15 ") + token.mid(1));
    }
    return calls;
}

ToolRun failedUnmount(const char *output)
{
    ToolRun run;
    run.started = true;
    run.exitCode = 1;
    run.output = output;
    return run;
}

struct Scenario
{
    const char *label;
    std::function<void(Sandbox &, LedgerService &, FakeEjectTools &)> setUp;
    QStringList calls;
    EjectResult expected;
    QStringList logLines; // each must appear in the log
    bool stillListed;     // the drive is listed after the attempt
};

const QString refusedForUsers = QStringLiteral(
    "Cannot safely eject \"Drive\" while these apps have open files on the drive: %1. Close "
    "them first.");
const QString inUse = QStringLiteral(
    "Could not safely eject \"Drive\" because it is still in use by: %1.\n\nClose any open "
    "files or apps using this drive and try again.");

TEST(SafeEjectTest, EveryPathThroughTheEject)
{
    const Scenario scenarios[] = {
        {"an offloaded app runs from the drive",
         [](Sandbox &box, LedgerService &ledger, FakeEjectTools &) {
             const QString target = box.drive() + QStringLiteral("/Applications/Moved.app");
             ledger.recordMigration(MigrationRecord(QStringLiteral("2025-01-31T14:05:09Z"),
                                                    QStringLiteral("Moved"), std::nullopt,
                                                    std::nullopt, box.applications() + "/Moved.app",
                                                    target, true, MigrationStatus::active(), {}),
                                    QUrl::fromLocalFile(box.drive()));
             box.system().fakeWorkspace().setRunningApplicationBundles({target});
         },
         {},
         {false, QStringLiteral("Cannot safely eject \"Drive\" while offloaded apps are running: "
                                "Moved.app. Quit them first.")},
         {QStringLiteral(
             "[WARN] [Volume] Blocked Safe Eject for 'Drive': running offloaded apps: Moved.app")},
         true},
        {"a user app has a document open",
         [](Sandbox &, LedgerService &, FakeEjectTools &tools) {
             tools.addProcess(500, {QStringLiteral("TextEdit"),
                                    QStringLiteral("/Applications/TextEdit.app/Contents/MacOS/"
                                                   "TextEdit")});
         },
         {"L"},
         {false, refusedForUsers.arg(QStringLiteral("TextEdit"))},
         {QStringLiteral(
             "[WARN] [Volume] Blocked Safe Eject for 'Drive': user apps holding files: TextEdit")},
         true},
        {"an idle helper is released first",
         [](Sandbox &, LedgerService &, FakeEjectTools &tools) {
             tools.addProcess(300, {QStringLiteral("mds_stores"), mdsStores});
         },
         {"L", "T300", "U", "E"},
         {true, std::nullopt},
         {QStringLiteral(
              "[INFO] [Volume] Releasing 1 idle system helper(s) before ejecting 'Drive'"),
          QStringLiteral("[INFO] [Volume] Safely ejected volume 'Drive'")},
         false},
        {"already unmounted, in any letter case",
         [](Sandbox &, LedgerService &, FakeEjectTools &tools) {
             tools.queueUnmount(failedUnmount("Volume Drive ALREADY Unmounted"));
         },
         {"L", "U", "E"},
         {true, std::nullopt},
         {QStringLiteral("[INFO] [Volume] Safely ejected volume 'Drive'")},
         true},
        {"the tool failed but the mount is gone",
         [](Sandbox &box, LedgerService &, FakeEjectTools &tools) {
             tools.queueUnmount(failedUnmount("strange error"));
             box.system().fakeVolumes().removeVolume(box.drive());
         },
         {"L", "U", "E"},
         {true, std::nullopt},
         {},
         false},
        {"nothing seen: forced at once after sync",
         [](Sandbox &, LedgerService &, FakeEjectTools &tools) {
             tools.queueUnmount(failedUnmount("Resource busy"));
         },
         {"L", "U", "L", "L", "S", "F", "E"},
         {true, std::nullopt},
         {},
         false},
        {"the forced unmount fails without output",
         [](Sandbox &, LedgerService &, FakeEjectTools &tools) {
             tools.queueUnmount(failedUnmount("Resource busy"));
             tools.queueUnmount(failedUnmount("  "));
         },
         {"L", "U", "L", "L", "S", "F", "L"},
         {false, QStringLiteral("Failed to eject \"Drive\": Volume is busy.")},
         {QStringLiteral("[ERROR] [Volume] Failed to eject 'Drive':  | blockers=")},
         true},
        {"a dissenting helper is released and the unmount retried",
         [](Sandbox &, LedgerService &, FakeEjectTools &tools) {
             tools.addProcess(351, {QStringLiteral("mdworker_shared"),
                                    QStringLiteral("/System/Library/mdworker_shared"), false});
             tools.queueUnmount(failedUnmount("Unmount failed: dissented by PID 351 (mdworker)"));
         },
         {"L", "U", "T351", "U", "E"},
         {true, std::nullopt},
         {},
         false},
        {"a dissenting user app is never forced out",
         [](Sandbox &, LedgerService &, FakeEjectTools &tools) {
             tools.addProcess(400, {QStringLiteral("vim"), QStringLiteral("/usr/bin/vim"), false});
             tools.queueUnmount(failedUnmount("Unmount failed: dissented by PID 400"));
         },
         {"L", "U", "L", "L"},
         {false, QStringLiteral("Failed to eject \"Drive\": Unmount failed: dissented by PID 400")},
         {},
         true},
        {"no forced unmount on a blind scan",
         [](Sandbox &, LedgerService &, FakeEjectTools &tools) {
             for (int i = 0; i < 4; ++i)
                 tools.queueLsof(ToolRun{});
             tools.queueUnmount(failedUnmount("Resource busy"));
         },
         {"L", "U", "L", "L", "L"},
         {false, QStringLiteral("Failed to eject \"Drive\": Resource busy")},
         {},
         true},
        {"a helper that ignores SIGTERM is never killed",
         [](Sandbox &, LedgerService &, FakeEjectTools &tools) {
             tools.addProcess(300, {QStringLiteral("mds_stores"), mdsStores, true, true});
         },
         {"L", "T300", "U", "L", "T300", "U", "L", "T300", "U", "L", "S", "F", "L"},
         {false, inUse.arg(QStringLiteral("mds_stores (PID 300)"))},
         {QStringLiteral("[ERROR] [Volume] Failed to eject 'Drive': target is busy | "
                         "blockers=mds_stores (PID 300)")},
         true},
        {"an unmount that hangs counts as failed",
         [](Sandbox &, LedgerService &, FakeEjectTools &tools) {
             ToolRun hung;
             hung.started = true;
             hung.timedOut = true;
             tools.queueUnmount(hung);
             tools.queueUnmount(hung);
         },
         {"L", "U", "L", "L", "S", "F", "L"},
         {false, QStringLiteral("Failed to eject \"Drive\": timed out")},
         {},
         true},
        {"a PID given to another program after the scan is not signalled",
         [](Sandbox &, LedgerService &, FakeEjectTools &tools) {
             tools.addProcess(300, {QStringLiteral("mds_stores"), mdsStores});
             tools.setExecutableReads(300, {mdsStores, QStringLiteral("/usr/bin/vim")});
         },
         {"L", "U", "L", "L", "L"},
         {false, inUse.arg(QStringLiteral("vim (PID 300)"))},
         {},
         true},
    };
    for (const Scenario &scenario : scenarios) {
        Sandbox box;
        mountDrive(box.system(), box.drive(), externalDrive(QStringLiteral("Drive")));
        LedgerService ledger;
        const auto manager = startedManager(&ledger);
        const TargetVolume drive = manager->availableVolumes().value(0);
        FakeEjectTools &tools = box.system().fakeEjectTools();
        scenario.setUp(box, ledger, tools);

        const QFuture<EjectResult> eject = manager->safelyEject(drive);
        ASSERT_TRUE(waitFor(eject)) << scenario.label;
        drainEvents();
        EXPECT_EQ(eject.result(), scenario.expected) << scenario.label;
        EXPECT_EQ(tools.calls(), expandCalls(scenario.calls, box.drive())) << scenario.label;
        const QString log = AppLogger::shared().readRecentLines(50);
        for (const QString &line : scenario.logLines)
            EXPECT_TRUE(log.contains(line)) << scenario.label << "\n" << line.toStdString();
        EXPECT_EQ(manager->availableVolumes().contains(drive), scenario.stillListed)
            << scenario.label;
    }
}

TEST(SafeEjectTest, AFolderTargetEjectsTheDriveThatHoldsIt)
{
    Sandbox box;
    mountDrive(box.system(), box.drive(), externalDrive(QStringLiteral("Drive")));
    const QString folder = box.makeFolder(box.drive() + QStringLiteral("/Apps"));
    LedgerService ledger;
    const auto manager = startedManager(&ledger);
    manager->selectCustomDirectory(QUrl::fromLocalFile(folder));
    const TargetVolume target = *manager->customTarget();
    FakeEjectTools &tools = box.system().fakeEjectTools();

    tools.addProcess(500, {QStringLiteral("vim"), QStringLiteral("/usr/bin/vim")});
    QFuture<EjectResult> eject = manager->safelyEject(target);
    ASSERT_TRUE(waitFor(eject));
    EXPECT_EQ(eject.result().errorMessage,
              QStringLiteral("Cannot safely eject \"Apps (Drive)\" while these apps have open "
                             "files on the drive: vim. Close them first."));

    tools.removeProcess(500);
    tools.clearCalls();
    eject = manager->safelyEject(target);
    ASSERT_TRUE(waitFor(eject));
    EXPECT_TRUE(eject.result().success);
    EXPECT_EQ(tools.calls(), expandCalls({"L", "U", "E"}, box.drive()));
    EXPECT_TRUE(AppLogger::shared().readRecentLines(5).contains(
        QStringLiteral("Safely ejected volume 'Apps (Drive)'")));
}

TEST(SafeEjectTest, FindsTheDissentingPid)
{
    struct Row
    {
        const char *output;
        std::optional<qint32> pid;
    };
    const Row rows[] = {
        {"Volume Drive on disk4s1 failed to unmount: dissented by PID 351 (/usr/libexec/x)", 351},
        {"Dissented by PID 351", std::nullopt},
        {"dissented by PID 99999999999", std::nullopt},
        {"", std::nullopt},
    };
    for (const Row &row : rows)
        EXPECT_EQ(SafeEject::dissentingPID(QString::fromLatin1(row.output)), row.pid) << row.output;
}

} // namespace
