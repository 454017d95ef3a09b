#include "services/SupportFolderFinder.h"

#include "base/PathUtils.h"
#include "platform/System.h"

#include <QDir>
#include <QSet>
#include <QUrl>

namespace {

// Pen-tablet drivers keep their data under vendor names that share nothing with the
// application's own name.
const QStringList &penTabletMarkers()
{
    static const QStringList markers = {QStringLiteral("xp-pen"), QStringLiteral("xppen"),
                                        QStringLiteral("pentablet"), QStringLiteral("ugee")};
    return markers;
}

SupportFolder makeFolder(const QString &path, bool selected)
{
    FileResources &resources = System::current().fileResources();
    const bool isLink = PathUtils::isSymlink(path);
    const bool isAlias = resources.isAliasFile(path).value_or(false);
    std::optional<QString> target;
    if (isLink)
        target = PathUtils::linkText(path);
    else if (isAlias)
        target = resources.resolveAliasFile(path);
    const QString home = path.startsWith(System::current().paths().usersRoot)
                             ? QStringLiteral("~/Library")
                             : QStringLiteral("/Library");
    return SupportFolder{QUrl::fromLocalFile(path),
                         home + QStringLiteral(".../") + PathUtils::lastComponent(path),
                         0,
                         isLink,
                         isAlias,
                         target,
                         selected};
}

} // namespace

SupportFolderFinder::SupportFolderFinder(const QStringList &roots)
{
    FileResources &resources = System::current().fileResources();
    for (const QString &root : roots) {
        QList<Entry> entries;
        const QDir dir(root);
        if (dir.exists()) {
            const QStringList names = dir.entryList(
                QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
            for (const QString &name : names) {
                const QString path = root + QLatin1Char('/') + name;
                if (!resources.isHidden(path))
                    entries.append({path, name.toLower()});
            }
        }
        m_roots.append(entries);
    }
}

const QStringList &SupportFolderFinder::ignoredIdentifierParts()
{
    static const QStringList parts = {
        QStringLiteral("com"),    QStringLiteral("org"),     QStringLiteral("net"),
        QStringLiteral("io"),     QStringLiteral("app"),     QStringLiteral("mac"),
        QStringLiteral("macos"),  QStringLiteral("desktop"), QStringLiteral("client"),
        QStringLiteral("helper"), QStringLiteral("pro"),     QStringLiteral("apple"),
    };
    return parts;
}

QList<SupportFolder> SupportFolderFinder::discover(const QString &name,
                                                   const std::optional<QString> &bundleId) const
{
    QSet<QString> exactNames = {name.toLower(), QString(name).remove(QLatin1Char(' ')).toLower()};
    QSet<QString> tokens;
    if (bundleId) {
        const QString identifier = bundleId->trimmed().toLower();
        if (!identifier.isEmpty()) {
            exactNames.insert(identifier);
            const QStringList pieces = identifier.split(QLatin1Char('.'), Qt::SkipEmptyParts);
            for (qsizetype i = 1; i < pieces.size(); ++i) {
                const QString &piece = pieces[i];
                if (piece.size() >= 4 && !ignoredIdentifierParts().contains(piece) &&
                    !exactNames.contains(piece))
                    tokens.insert(piece);
            }
        }
    }
    const QString described = (name + QLatin1Char(' ') + bundleId.value_or(QString())).toLower();
    for (const QString &marker : penTabletMarkers()) {
        if (described.contains(marker)) {
            exactNames << QStringLiteral("pendriver") << QStringLiteral("pentablet");
            tokens << QStringLiteral("xp-pen") << QStringLiteral("xppen");
            break;
        }
    }

    QList<SupportFolder> found;
    QSet<QString> seen;
    for (const QList<Entry> &root : m_roots) {
        for (const Entry &entry : root) {
            const bool exact = exactNames.contains(entry.lowerName);
            if (!exact && !tokens.contains(entry.lowerName))
                continue;
            const QString standardized = PathUtils::standardized(entry.path);
            if (seen.contains(standardized))
                continue;
            seen.insert(standardized);
            if (!PathUtils::existsFollowingLinks(standardized))
                continue;
            found.append(makeFolder(entry.path, exact));
        }
    }
    return found;
}
