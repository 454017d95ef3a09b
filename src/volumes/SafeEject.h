#pragma once

#include "model/MigrationRecord.h"
#include "model/TargetVolume.h"
#include "volumes/EjectBlocker.h"

#include <QString>
#include <chrono>
#include <functional>
#include <optional>

// The outcome of a safe eject: the message is present exactly when it failed.
struct EjectResult
{
    bool success = false;
    std::optional<QString> errorMessage;

    friend bool operator==(const EjectResult &, const EjectResult &) = default;
};

// Unmounts and ejects one drive so that it can be unplugged: refuses while applications
// moved to it run or ordinary applications hold files on it, asks idle system helpers to
// quit (SIGTERM, never SIGKILL), retries the unmount, and forces it only when a complete
// scan shows nothing but system helpers in the way. For a folder on a drive, the drive that
// holds the folder is ejected; messages name the target.
//
// One object per attempt; run() blocks its thread (lsof up to 2.5 s per scan, each wait
// after SIGTERM up to 1.2 s, each unmount up to 120 s), so it belongs on a worker thread.
class SafeEject
{
public:
    static constexpr std::chrono::milliseconds terminationWait{1200};
    static constexpr std::chrono::milliseconds pollInterval{50};
    static constexpr std::chrono::seconds unmountTimeLimit{120};
    static constexpr int maxUnmountRetries = 2;

    // `ledgerRecords` is a snapshot of the ledger; `onEjected` runs after a successful eject,
    // on the thread of run().
    SafeEject(TargetVolume volume, QList<MigrationRecord> ledgerRecords,
              std::function<void()> onEjected = {});

    [[nodiscard]] EjectResult run();

    // The PID in unmount output that says "dissented by PID <n>"; nothing when there is none
    // or it does not fit 32 bits.
    [[nodiscard]] static std::optional<qint32> dissentingPID(const QString &output);

private:
    struct UnmountOutcome
    {
        bool success = false;
        QString output;
    };

    [[nodiscard]] std::optional<EjectResult> refuseForRunningApps();
    [[nodiscard]] std::optional<EjectResult> refuseForUserApps(const EjectBlockerScan &scan);
    void releaseHelpers(const EjectBlockerScan &scan);
    [[nodiscard]] EjectResult unmountWithRetries();
    [[nodiscard]] EjectResult forceUnmount(const QString &plainOutput, bool userAppDissented);
    [[nodiscard]] EjectResult finishEjected();
    [[nodiscard]] EjectResult fail(const QString &output);

    [[nodiscard]] UnmountOutcome unmount(bool force);
    [[nodiscard]] bool isUnmounted(const UnmountOutcome &outcome) const;
    [[nodiscard]] bool mountIsGone() const;
    [[nodiscard]] EjectBlockerScan scan() const;
    void terminateProcesses(const QList<qint32> &pids);

    TargetVolume m_volume;
    QList<MigrationRecord> m_records;
    std::function<void()> m_onEjected;
    QString m_mountPath; // the mount point of the drive that holds the target
};
