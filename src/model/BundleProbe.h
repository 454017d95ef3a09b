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
    // lstat's view: a dangling link is one.
    [[nodiscard]] static bool isSymbolicLink(const QString &path);
    // The platform's alias-file fact (a symbolic link counts as one).
    [[nodiscard]] static bool isAliasFile(const QUrl &url);

protected:
    BundleProbe() = default;
};
