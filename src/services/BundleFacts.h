#pragma once

#include <QString>
#include <QUrl>
#include <QVariantMap>
#include <QtGlobal>
#include <functional>
#include <optional>

// The version texts of a bundle's Info.plist.
struct VersionInfo
{
    std::optional<QString> shortVersion;   // CFBundleShortVersionString
    std::optional<QString> buildVersion;   // CFBundleVersion
    std::optional<QString> displayVersion; // "2.1", "2104" or "2.1 (2104)"

    friend bool operator==(const VersionInfo &, const VersionInfo &) = default;
};

// What the inventory reads from a bundle or folder on disk. Stateless; safe from any thread;
// nothing here fails: what cannot be read is absent or 0.
namespace BundleFacts {

// Bytes of the regular files below `path` (links inside are not followed and count 0); the
// size of a single file; 0 when nothing is there or the folder cannot be listed.
[[nodiscard]] qint64 directorySize(const QString &path);

// The versions in "Contents/Info.plist" of the bundle at `bundle`; all absent without one.
[[nodiscard]] VersionInfo versionInfo(const QUrl &bundle);
[[nodiscard]] VersionInfo versionInfo(const QString &bundlePath);
// The same from an Info.plist already read.
[[nodiscard]] VersionInfo versionInfo(const std::optional<QVariantMap> &info);

// A drive copy whose version differs from the local bundle: the short versions differ, or
// they agree and the builds differ. A missing text on either side never counts.
[[nodiscard]] bool isUpdateOutOfSync(const VersionInfo &local, const VersionInfo &copy);

// The identifier that names the application an item stands for: a proxy's
// OriginalBundleIdentifier, the item's own identifier unless it is a proxy's generated one,
// else the target bundle's, else whatever the item has.
[[nodiscard]] std::optional<QString> bundleIdentifier(const QString &itemPath,
                                                      const std::optional<QString> &target);
// The same from the item's Info.plist already read; `targetInfo` reads the target's when it
// is needed.
[[nodiscard]] std::optional<QString>
bundleIdentifier(const std::optional<QVariantMap> &own,
                 const std::function<std::optional<QVariantMap>()> &targetInfo);

} // namespace BundleFacts
