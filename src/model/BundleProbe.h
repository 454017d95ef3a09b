#pragma once

#include <QString>
#include <QUrl>
#include <QVariantMap>

// What stands at a place in an applications folder, read from the disk without changing
// it: one of this system's proxy bundles, a symbolic link, an alias file. Shared by the
// inventory, its cleanup and the transfer engine. Stateless; safe from any thread; every
// error reads as false.
class BundleProbe
{
public:
    // The bundle's Info.plist marks it as one of ours (IsKorvanthelixProxy true, or any
    // TargetAppPath), whatever form the file is in. Through a link to a bundle, the linked
    // bundle counts; an alias file is never one.
    [[nodiscard]] static bool isProxyBundle(const QUrl &url);
    // The same rule for a property list already read.
    [[nodiscard]] static bool marksProxy(const QVariantMap &info);
    // A proxy bundle this system built, which nothing is lost by removing: a folder holding
    // nothing but what the proxy builder writes (with codesign's signature and Finder's
    // .DS_Store files), whose Info.plist marks it as a proxy or does not read at all (a build
    // stopped before its Info.plist was whole). What an Info.plist says is no proof alone: a
    // real application may hold any key, and readers may take a key differently. Never a link.
    // Everything that removes or replaces a proxy asks this, not isProxyBundle().
    [[nodiscard]] static bool isBuiltProxy(const QString &path);

    // The launcher program's name in every proxy bundle this system builds.
    static inline const QString launcherName = QStringLiteral("ProxyLauncher");
    // lstat's view: a dangling link is one.
    [[nodiscard]] static bool isSymbolicLink(const QString &path);
    // The platform's alias-file fact (a symbolic link counts as one).
    [[nodiscard]] static bool isAliasFile(const QUrl &url);

protected:
    BundleProbe() = default;
};
