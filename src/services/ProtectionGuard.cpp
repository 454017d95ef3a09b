#include "services/ProtectionGuard.h"

#include "base/PathUtils.h"
#include "platform/System.h"

namespace {

ProtectionResult protectedBecause(QString reason)
{
    return {true, std::move(reason)};
}

const ProtectionResult notProtected{false, std::nullopt};

bool isOwnApplication(const QUrl &url, const std::optional<QString> &bundleId)
{
    if (PathUtils::baseName(url.toLocalFile()).toLower() == QLatin1String("korvanthelix"))
        return true;
    static const QSet<QString> ownIdentifiers = {
        QStringLiteral("com.korvanthelix.app"),
        QStringLiteral("com.korvanthelix.KorvanthelixSwift"),
        QStringLiteral("com.korvanthelix"),
    };
    return bundleId && ownIdentifiers.contains(*bundleId);
}

bool equalsOrContinues(const QString &identifier, const QString &prefix)
{
    return identifier == prefix || identifier.startsWith(prefix + QLatin1Char('.'));
}

const QSet<QString> &lowerCasedOffloadablePrefixes()
{
    static const QSet<QString> lowered = [] {
        QSet<QString> result;
        for (const QString &prefix : ProtectionGuard::offloadableAppleBundlePrefixes())
            result.insert(prefix.toLower());
        return result;
    }();
    return lowered;
}

} // namespace

const QStringList &ProtectionGuard::protectedPaths()
{
    static const QStringList paths = {
        QStringLiteral("/System"), QStringLiteral("/usr"),           QStringLiteral("/bin"),
        QStringLiteral("/sbin"),   QStringLiteral("/Library/Apple"),
    };
    return paths;
}

const QSet<QString> &ProtectionGuard::protectedBundlePrefixes()
{
    static const QSet<QString> prefixes = {
        QStringLiteral("com.apple.finder"),     QStringLiteral("com.apple.systempreferences"),
        QStringLiteral("com.apple.Safari"),     QStringLiteral("com.apple.Mail"),
        QStringLiteral("com.apple.Music"),      QStringLiteral("com.apple.TV"),
        QStringLiteral("com.apple.Podcasts"),   QStringLiteral("com.apple.News"),
        QStringLiteral("com.apple.Photos"),     QStringLiteral("com.apple.Shortcuts"),
        QStringLiteral("com.apple.Home"),       QStringLiteral("com.apple.Preview"),
        QStringLiteral("com.apple.TextEdit"),   QStringLiteral("com.apple.Notes"),
        QStringLiteral("com.apple.Reminders"),  QStringLiteral("com.apple.Maps"),
        QStringLiteral("com.apple.Clock"),      QStringLiteral("com.apple.Freeform"),
        QStringLiteral("com.apple.Calculator"), QStringLiteral("com.apple.Calendar"),
        QStringLiteral("com.apple.Contacts"),   QStringLiteral("com.apple.FaceTime"),
        QStringLiteral("com.apple.Messages"),   QStringLiteral("com.apple.AppStore"),
        QStringLiteral("com.apple.Launchpad"),  QStringLiteral("com.apple.MissionControl"),
    };
    return prefixes;
}

const QSet<QString> &ProtectionGuard::offloadableAppleBundlePrefixes()
{
    static const QSet<QString> prefixes = {
        QStringLiteral("com.apple.dt.Xcode"),     QStringLiteral("com.apple.FinalCut"),
        QStringLiteral("com.apple.logic10"),      QStringLiteral("com.apple.motionapp"),
        QStringLiteral("com.apple.Compressor"),   QStringLiteral("com.apple.garageband10"),
        QStringLiteral("com.apple.iMovieApp"),    QStringLiteral("com.apple.MainStage3"),
        QStringLiteral("com.apple.iWork"),        QStringLiteral("com.apple.Pages"),
        QStringLiteral("com.apple.Numbers"),      QStringLiteral("com.apple.Keynote"),
        QStringLiteral("com.apple.Configurator"), QStringLiteral("com.apple.TestFlight"),
        QStringLiteral("com.apple.developer"),
    };
    return prefixes;
}

ProtectionResult ProtectionGuard::checkProtection(const QUrl &url,
                                                  const std::optional<QString> &bundleId)
{
    const QString path = PathUtils::standardized(url.toLocalFile());
    for (const QString &prefix : protectedPaths()) {
        // A plain text prefix on purpose: "/usrlocal" counts as "/usr".
        if (path.startsWith(prefix))
            return protectedBecause(QStringLiteral("Core macOS system component (") + prefix +
                                    QLatin1Char(')'));
    }

    if (isOwnApplication(url, bundleId))
        return protectedBecause(QStringLiteral("Korvanthelix cannot offload itself while running"));

    // Anything a user keeps in a home folder is theirs to move, Apple's or not.
    const QString usersPrefix = System::current().paths().usersRoot + QLatin1Char('/');
    if (!bundleId || path.startsWith(usersPrefix))
        return notProtected;
    const QString &identifier = *bundleId;

    if (identifier.contains(QLatin1String("WebApp")))
        return notProtected;

    for (const QString &prefix : protectedBundlePrefixes()) {
        if (equalsOrContinues(identifier, prefix))
            return protectedBecause(QStringLiteral("Apple system application (") + prefix +
                                    QLatin1Char(')'));
    }

    const QString lowered = identifier.toLower();
    if (lowered.startsWith(QLatin1String("com.apple."))) {
        for (const QString &offloadable : lowerCasedOffloadablePrefixes()) {
            if (equalsOrContinues(lowered, offloadable))
                return notProtected;
        }
        return protectedBecause(QStringLiteral("Protected Apple system application (") +
                                identifier + QLatin1Char(')'));
    }
    return notProtected;
}
