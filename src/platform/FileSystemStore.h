#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <optional>

// The platform's half of FileSystemIdentity::storeOf (FileSystemStore_linux.cpp,
// FileSystemStore_mac.cpp): the item that `path` names relative to the open folder `folder`
// (AT_FDCWD: the working folder; an empty path: `folder` itself), its last link followed or
// not. Nothing when it cannot be looked at.
[[nodiscard]] std::optional<quint64> platformStoreAt(int folder, const QByteArray &path,
                                                     bool followLink);
// The platform's half of FileSystemIdentity::mountOf: the mount holding the open `fd`.
[[nodiscard]] std::optional<quint64> platformMountOf(int fd);
