#include "transfer/LocalRollback.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "transfer/AppProxyHelper.h"
#include "transfer/OffloadFileOps.h"

#include <algorithm>
#include <cerrno>

namespace {

template<typename F>
void ignoringFailure(F &&step)
{
    try {
        step();
    } catch (const OperationError &) {
    }
}

} // namespace

LocalRollback::LocalRollback(OffloadFileOps &ops)
    : m_ops(ops)
{}

void LocalRollback::movedAside(const QString &original, const QString &aside)
{
    m_entries.append({original, aside, false});
}

void LocalRollback::standInPlaced()
{
    if (!m_entries.isEmpty())
        m_entries.last().standIn = true;
}

void LocalRollback::undo()
{
    for (auto it = m_entries.crbegin(); it != m_entries.crend(); ++it) {
        // With its original gone, the stand-in is the only way left to the drive copy.
        if (!PathUtils::existsNoFollow(it->aside))
            continue;
        if (it->standIn)
            ignoringFailure([&] { removeStandIn(m_ops, it->original); });
        ignoringFailure([&] { moveBack(m_ops, it->aside, it->original); });
    }
}

bool LocalRollback::isUndone() const
{
    return std::none_of(m_entries.cbegin(), m_entries.cend(),
                        [](const Entry &entry) { return PathUtils::existsNoFollow(entry.aside); });
}

bool LocalRollback::standInRemains() const
{
    return std::any_of(m_entries.cbegin(), m_entries.cend(), [](const Entry &entry) {
        return entry.standIn && (PathUtils::isSymlink(entry.original) ||
                                 AppProxyHelper::isBuiltProxy(entry.original) ||
                                 AppProxyHelper::isAliasFile(QUrl::fromLocalFile(entry.original)));
    });
}

QList<std::pair<QString, QString>> LocalRollback::movedAsideItems() const
{
    QList<std::pair<QString, QString>> items;
    for (const Entry &entry : m_entries)
        items.append({entry.original, entry.aside});
    return items;
}

void LocalRollback::moveBack(OffloadFileOps &ops, const QString &aside, const QString &original)
{
    // A move onto an occupant would replace it, or put the original inside it.
    if (PathUtils::existsNoFollow(original))
        throw OperationError::fileSystem(EEXIST, QStringLiteral("Cannot move '") + aside +
                                                     QStringLiteral("' back to '") + original +
                                                     QStringLiteral("': an item is in the way."));
    ops.move(aside, original);
}

void LocalRollback::removeStandIn(OffloadFileOps &ops, const QString &path)
{
    if (PathUtils::isSymlink(path)) {
        ops.removeLink(path);
        return;
    }
    if (!PathUtils::existsNoFollow(path))
        return;
    if (!AppProxyHelper::isAliasFile(QUrl::fromLocalFile(path)) &&
        !AppProxyHelper::isBuiltProxy(path))
        throw OperationError::fileSystem(EEXIST, QStringLiteral("'") + path +
                                                     QStringLiteral("' is no longer the stand-in "
                                                                    "put there, so it stays."));
    ops.remove(path);
}
