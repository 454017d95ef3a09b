#pragma once

#include "model/AppItem.h"
#include "model/BundleProbe.h"

#include <QByteArray>
#include <QFuture>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

// The record of one proxy creation.
struct AppProxyResult
{
    QString appName;
    QUrl proxyURL;
    bool success = false;
    std::optional<QString> error = std::nullopt;

    friend bool operator==(const AppProxyResult &, const AppProxyResult &) = default;
};

[[nodiscard]] size_t qHash(const AppProxyResult &result, size_t seed = 0) noexcept;

// What a batch of proxy creations came to. Each failure reads "Name (reason)".
struct ProxyBatchResult
{
    int successCount = 0;
    QStringList failedNames;

    friend bool operator==(const ProxyBatchResult &, const ProxyBatchResult &) = default;
};

// Makes and recognises App Proxies: small generated application bundles that stand where an
// offloaded application was and open the real one on the drive. Stateless; every operation
// is static and runs on the caller's thread (the batch on the thread pool). Errors are
// OperationError with the domain "AppProxyHelper" (1 launcher build, 2 promotion target
// missing, 403 target not on a drive, 404 target missing, 409 an application is in the way)
// or passed through from the file system, a process or PrivilegeHelper. The tests of what
// stands at a place (isProxyBundle, isSymbolicLink, isAliasFile) are BundleProbe's.
class AppProxyHelper final : public BundleProbe
{
public:
    static const QString errorDomain;

    // The one shared instance; no operation needs it.
    [[nodiscard]] static AppProxyHelper &shared();

    // Builds a proxy bundle at `destinationURL` that opens `targetAppURL`, which must lie on a
    // drive below the volumes root. What stands at the destination is replaced only when it
    // is a symbolic link, an alias, or a proxy this system built (a folder of nothing but the
    // builder's files whose Info.plist marks it, or an unfinished build's that does not read);
    // anything else, whatever its Info.plist says, gives 409 and stays as it was. A missing
    // identifier or version is read from the target. On failure nothing of the new bundle is
    // left behind. Blocks while the launcher is compiled and the bundle is signed, registered
    // and commented.
    static void createProxyBundle(const QString &appName, const QUrl &targetAppURL,
                                  const QUrl &destinationURL,
                                  const std::optional<QString> &bundleIdentifier,
                                  const std::optional<QString> &version);
    // Registers the bundle with the platform's application database; never fails.
    static void registerWithLaunchServices(const QUrl &url);

    // The launcher executable: the program's own prebuilt one, else compiled from the source
    // text the program carries (nothing cached; temporary files are removed either way).
    [[nodiscard]] static QByteArray getProxyLauncherData();

    // Makes a proxy at the top of the Applications folder, named after the item without
    // bracket tags, for the application the item stands for; then removes the item's former
    // top-level entry and its duplicate aliases there, where they are stand-ins (links,
    // aliases, proxies this system built, as above). Returns the proxy's location.
    static QUrl promoteToRootApplications(const AppItem &app);
    // One proxy per unprotected item, in order, promoted or in the item's own place. Never
    // fails: each failure is listed and the batch goes on.
    [[nodiscard]] static QFuture<ProxyBatchResult> batchCreateProxies(const QList<AppItem> &apps,
                                                                      bool promoteToRoot);

private:
    AppProxyHelper() = default;
};
