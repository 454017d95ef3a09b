#include "services/SupportFolderFinder.h"

#include "base/PathUtils.h"
#include "platform/System.h"

#include <QDir>
#include <QSet>
#include <QUrl>
#include <algorithm>

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
        const QDir dir(root);
        if (!dir.exists())
            continue;
        const QStringList names = dir.entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &name : names) {
            const QString path = root + QLatin1Char('/') + name;
            if (resources.isHidden(path))
                continue;
            m_byName[name.toLower()].append(m_entries.size());
            m_entries.append({path, name.toLower()});
        }
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

    QList<qsizetype> matches;
    for (const QSet<QString> *names : {&exactNames, &tokens}) {
        for (const QString &name : *names)
            matches += m_byName.value(name);
    }
    std::sort(matches.begin(), matches.end());
    matches.erase(std::unique(matches.begin(), matches.end()), matches.end());

    QList<SupportFolder> found;
    QSet<QString> seen;
    for (const qsizetype position : std::as_const(matches)) {
        const Entry &entry = m_entries.at(position);
        const bool exact = exactNames.contains(entry.lowerName);
        const QString standardized = PathUtils::standardized(entry.path);
        if (seen.contains(standardized))
            continue;
        seen.insert(standardized);
        if (!PathUtils::existsFollowingLinks(standardized))
            continue;
        found.append(makeFolder(entry.path, exact));
    }
    // Folders of one name would be stored at one place on the drive, which the offload
    // refuses: the first of them is preselected, the others are left for the user to choose.
    QSet<QString> preselected;
    for (SupportFolder &folder : found) {
        if (!folder.isSelected)
            continue;
        if (preselected.contains(folder.driveName()))
            folder.isSelected = false;
        preselected.insert(folder.driveName());
    }
    return found;
}
