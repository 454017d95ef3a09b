#pragma once

#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

// The verdict on one application: the reason is present exactly when it is protected.
struct ProtectionResult
{
    bool isProtected = false;
    std::optional<QString> reason;

    friend bool operator==(const ProtectionResult &, const ProtectionResult &) = default;
};

// Decides whether an application may leave the Mac at all: system locations, the system's
// own Apple applications and this program stay; user-installed and large professional
// Apple applications may go. Stateless; safe from any thread.
class ProtectionGuard
{
public:
    ProtectionGuard() = delete;

    // Path prefixes, tested in this order as plain text prefixes.
    [[nodiscard]] static const QStringList &protectedPaths();
    // Apple identifiers protected exactly and for anything continuing them after a dot.
    [[nodiscard]] static const QSet<QString> &protectedBundlePrefixes();
    // Apple identifiers (and their dotted continuations) that may be offloaded.
    [[nodiscard]] static const QSet<QString> &offloadableAppleBundlePrefixes();

    // `url` is the bundle's location as listed. Never fails; no side effects.
    [[nodiscard]] static ProtectionResult checkProtection(const QUrl &url,
                                                          const std::optional<QString> &bundleId);
};
