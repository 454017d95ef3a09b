#pragma once

#include "model/MigrationRecord.h"
#include "volumes/EjectBlocker.h"

#include <QByteArray>
#include <QSet>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>

// Who still uses a drive: the processes holding files on it (found with lsof) and the running
// applications that the ledger places on it. Every function runs on the calling thread,
// asks the installed System where it needs the machine, and never fails.
class EjectBlockers
{
public:
    // How long a scan waits for lsof.
    static constexpr std::chrono::milliseconds lsofTimeLimit{2500};

    // Lower-case process names, each set made once.
    [[nodiscard]] static const QSet<QString> &protectedCoreNames();
    [[nodiscard]] static const QSet<QString> &safeSystemHelperNames();

    // The kind of a process by its name, its executable's full path (or empty) and its PID.
    [[nodiscard]] static EjectProcessKind classifyProcess(const QString &name, const QString &path,
                                                          qint32 pid);
    // The same, reading the executable's path now; a process that has gone is a userApp.
    [[nodiscard]] static EjectProcessKind classifyProcess(qint32 pid);

    // lsof's arguments for the file system mounted at `mountPath`.
    [[nodiscard]] static QStringList lsofArguments(const QString &mountPath);
    // The blockers in lsof's "-F pc" output, skipping `ownPid` and protected core processes;
    // nothing when the output is not UTF-8.
    [[nodiscard]] static std::optional<QList<EjectBlocker>>
    parseLsofOutput(const QByteArray &output, qint32 ownPid,
                    const std::function<QString(qint32)> &executablePath);
    // Scans the file system mounted at `mountPath` (a mount point, not a folder on it).
    [[nodiscard]] static EjectBlockerScan findEjectBlockers(const QString &mountPath);

    // The bundles of `runningBundles` that belong to the drive or folder at `volumePath`:
    // they lie on it, or are where an "active" ledger record of it has the application, or
    // where that application was installed before it moved. In the order given.
    [[nodiscard]] static QStringList runningOffloadedApps(const QString &volumePath,
                                                          const QList<MigrationRecord> &records,
                                                          const QStringList &runningBundles);
};
