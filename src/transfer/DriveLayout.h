#pragma once

#include <QString>
#include <QUrl>

struct AppItem;
struct SupportFolder;

// Where copies live on a target (its root or the folder chosen on it), and the names of
// staged and moved-aside items. Pure text work; nothing touches the disk.
namespace DriveLayout {

// Appended to the final name of every copy while it is staged on the drive.
inline constexpr QLatin1StringView partialSuffix{".korvanthelix-partial"};

// target/Applications, followed by the application's subfolder path when it has one, so an
// application from a nested folder keeps that folder on the drive.
[[nodiscard]] QUrl applicationsFolder(const QUrl &target, const AppItem &app);
// target/Application Support
[[nodiscard]] QUrl supportRoot(const QUrl &target);
[[nodiscard]] QUrl finalBundleLocation(const QUrl &target, const AppItem &app);
[[nodiscard]] QUrl finalSupportLocation(const QUrl &target, const SupportFolder &folder);
// The final location with the partial suffix on its last component, in the same folder.
[[nodiscard]] QUrl stagedLocation(const QUrl &finalLocation);

// "." + name + ".rollback-" + UUID: an older copy on the drive moved aside by a commit.
[[nodiscard]] QString rollbackName(const QString &finalName);
// "." + name + ".offload-rollback-" + UUID: a local item moved aside by an offload.
[[nodiscard]] QString offloadRollbackName(const QString &localName);
// "." + name + ".offloaded-" + UUID: a local item whose offload was recorded and that could not be
// deleted afterwards; its copy is on the drive, so it is no recovery copy.
[[nodiscard]] QString offloadedOriginalName(const QString &localName);

// Follows the name of a drive copy a restore kept because it changed after the restore read
// it: what changed is the user's, kept where it stood under a name no record names.
inline constexpr QLatin1StringView keptCopyMarker{".changed-after-restore-"};
// name + keptCopyMarker + UUID.
[[nodiscard]] QString keptCopyName(const QString &finalName);

} // namespace DriveLayout
