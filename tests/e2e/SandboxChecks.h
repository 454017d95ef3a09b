#pragma once

#include "model/MigrationRecord.h"

#include <QString>
#include <optional>

// What the end-to-end run reads straight from the disk, apart from the program's own
// services, so that a fault in them cannot hide itself.
namespace SandboxChecks {

// The last record of `appPath` in the ledger file at `ledgerPath`, as written there; nothing
// when the file cannot be read or holds no record of the application.
[[nodiscard]] std::optional<MigrationRecord> lastLedgerRecord(const QString &ledgerPath,
                                                              const QString &appPath);

// Whether a file system is mounted at `mountPoint` in this process's mount namespace.
[[nodiscard]] bool isMounted(const QString &mountPoint);

// Mount points and loop devices that still belong to something below `folder`: mounts at
// or under it, and loop devices whose backing file lies under it. Empty when none is left.
[[nodiscard]] QStringList leftoversBelow(const QString &folder);

} // namespace SandboxChecks
