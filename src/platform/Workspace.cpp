#include "platform/Workspace.h"

#include <QFile>
#include <algorithm>

QStringList Workspace::runningWithin(const QStringList &places)
{
    QStringList roots;
    for (const QString &place : places)
        roots << PathUtils::standardized(place) << PathUtils::resolved(place);
    QStringList within;
    for (const QString &bundle : runningApplicationBundles()) {
        if (std::any_of(roots.cbegin(), roots.cend(), [&](const QString &root) {
                return PathUtils::isSameOrInside(bundle, root);
            }))
            within.append(bundle);
    }
    return within;
}

Verdict Workspace::moveToTrash(const QString &path)
{
    QFile file(path);
    if (file.moveToTrash())
        return Verdict::pass();
    return Verdict::fail(file.errorString().isEmpty()
                             ? QStringLiteral("Could not move '%1' to the Trash").arg(path)
                             : file.errorString());
}
