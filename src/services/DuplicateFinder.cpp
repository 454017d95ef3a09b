#include "services/DuplicateFinder.h"

#include "base/PathUtils.h"
#include "platform/System.h"

#include <QHash>
#include <QRegularExpression>
#include <algorithm>

namespace {

bool identifiersContradict(const std::optional<QString> &a, const std::optional<QString> &b)
{
    if (!a || !b || a->isEmpty() || b->isEmpty())
        return false;
    return a->toLower() != b->toLower();
}

bool targetsItself(const AppItem &primary, const AppItem &local)
{
    if (!primary.symlinkTarget)
        return false;
    return PathUtils::isSameOrInside(PathUtils::resolved(*primary.symlinkTarget),
                                     PathUtils::resolved(local.id()));
}

} // namespace

namespace DuplicateFinder {

QString groupingKey(const QString &name)
{
    static const QRegularExpression tag(QStringLiteral(" \\[[^\\]]+\\]"));
    return QString(name).remove(tag).trimmed().toLower();
}

QList<DuplicateLocalInstance> findDuplicateLocalInstances(const QList<AppItem> &items)
{
    const QString applications = System::current().paths().applications;
    QHash<QString, qsizetype> primaries;
    QList<bool> isStandIn(items.size());
    for (qsizetype i = 0; i < items.size(); ++i) {
        const AppItem &item = items[i];
        isStandIn[i] = item.isOffloaded();
        if (!isStandIn[i])
            continue;
        const QString key = groupingKey(item.name);
        if (key.isEmpty())
            continue;
        if (!primaries.contains(key) || PathUtils::parentPath(item.id()) == applications)
            primaries.insert(key, i);
    }

    QList<DuplicateLocalInstance> pairs;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const AppItem &local = items[i];
        if (isStandIn[i] || local.isProtected)
            continue;
        const auto primary = primaries.constFind(groupingKey(local.name));
        if (primary == primaries.constEnd())
            continue;
        const AppItem &offloaded = items[*primary];
        if (offloaded.id() == local.id() ||
            identifiersContradict(local.bundleIdentifier, offloaded.bundleIdentifier) ||
            targetsItself(offloaded, local))
            continue;
        pairs.append({local, offloaded});
    }
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto &a, const auto &b) {
        return a.localApp.totalSelectedSize() > b.localApp.totalSelectedSize();
    });
    return pairs;
}

} // namespace DuplicateFinder
