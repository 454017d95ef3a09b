#pragma once

#include "base/OperationError.h"
#include "platform/FileSystemIdentity.h"

#include <QString>
#include <optional>

struct TargetVolume;

// The one check every write to a drive makes first, and repeats before the Mac is changed: the
// target still lies on the file system it was listed or chosen on, mounted where it was. A
// drive unplugged in between leaves its mount-point folder behind on the Mac's own disk; a
// copy, a folder or a ledger written there would look like success. Any thread.
namespace DriveProof {

// Codes of the failure, one per engine domain.
inline constexpr int offloadCode = 207;
inline constexpr int restoreCode = 410;

// Throws `domain`/`code` naming the drive when `target` cannot be proven.
void require(const TargetVolume &target, const QString &domain, int code);
// The same for a file system identified elsewhere; `driveName` names it in the message.
void require(const std::optional<FileSystemIdentity> &fileSystem, const QString &path,
             const QString &driveName, const QString &domain, int code);

// "The drive "<name>" is no longer connected. …"
[[nodiscard]] OperationError disconnectedError(const QString &driveName, const QString &domain,
                                               int code);

} // namespace DriveProof
