#include "transfer/RestorePaths.h"

#include "base/PathUtils.h"
#include "platform/System.h"

#include <QStringList>
#include <optional>

namespace RestorePaths {

namespace {

QStringList formsOf(const QString &path)
{
    const QString cleaned = PathUtils::standardized(path);
    const QString resolved = PathUtils::resolved(path);
    return cleaned == resolved ? QStringList{cleaned} : QStringList{cleaned, resolved};
}

// A place is judged by its folder's real location; the item there may be a link that the
// restore replaces, so it is not followed.
QStringList placeFormsOf(const QString &path)
{
    const QString cleaned = PathUtils::standardized(path);
    const QString resolved = PathUtils::join(PathUtils::resolved(PathUtils::parentPath(cleaned)),
                                             PathUtils::lastComponent(cleaned));
    return cleaned == resolved ? QStringList{cleaned} : QStringList{cleaned, resolved};
}

// The components of `path` below the volumes root (the drive's name first); nothing when
// it does not lie inside it.
std::optional<QStringList> componentsOnDrive(const QString &path)
{
    const QString volumes = System::current().paths().volumesRoot;
    if (volumes.isEmpty())
        return std::nullopt;
    const QString resolved = PathUtils::resolved(path);
    for (const QString &root : formsOf(volumes)) {
        if (root == QLatin1String("/") || !PathUtils::isSameOrInside(resolved, root) ||
            resolved == root)
            continue;
        return resolved.mid(root.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    }
    return std::nullopt;
}

} // namespace

bool overlaps(const QString &a, const QString &b)
{
    const QStringList formsA = placeFormsOf(a);
    const QStringList formsB = placeFormsOf(b);
    for (const QString &x : formsA) {
        for (const QString &y : formsB) {
            if (PathUtils::isSameOrInside(x, y) || PathUtils::isSameOrInside(y, x))
                return true;
        }
    }
    return false;
}

QString absoluteLinkTarget(const QString &linkPath, const QString &text)
{
    if (text.startsWith(QLatin1Char('/')))
        return text;
    return PathUtils::standardized(PathUtils::join(PathUtils::parentPath(linkPath), text));
}

bool liesOnDrive(const QString &path)
{
    const std::optional<QStringList> components = componentsOnDrive(path);
    return components && components->size() >= 2;
}

bool liesInDriveSupportFolder(const QString &path)
{
    const std::optional<QStringList> components = componentsOnDrive(path);
    if (!components)
        return false;
    // The drive's name comes first; the folder must hold the item, not be it.
    for (qsizetype i = 1; i + 1 < components->size(); ++i) {
        if (components->at(i) == QLatin1String("Application Support"))
            return true;
    }
    return false;
}

QList<QUrl> driveLedgerFolders(const QString &basePath)
{
    const QString volumes = PathUtils::standardized(System::current().paths().volumesRoot);
    QList<QUrl> folders;
    if (volumes.isEmpty() || volumes == QLatin1String("/"))
        return folders;
    QString folder = PathUtils::parentPath(PathUtils::standardized(basePath));
    while (PathUtils::isSameOrInside(folder, volumes) && folder != volumes) {
        folders.append(QUrl::fromLocalFile(folder));
        if (PathUtils::parentPath(folder) == volumes)
            break;
        folder = PathUtils::parentPath(folder);
    }
    return folders;
}

} // namespace RestorePaths
