#include "services/DuplicateCleanup.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/Uuid.h"
#include "model/BundleProbe.h"
#include "platform/System.h"
#include "services/PrivilegeHelper.h"

#include <QSet>

namespace {

// A name in the Trash folder that is neither taken there nor promised to an earlier copy of
// the same batch.
QString trashDestination(const QString &trash, const QString &source, QSet<QString> &reserved)
{
    Workspace &workspace = System::current().workspace();
    const QString name = PathUtils::lastComponent(source);
    QString destination = PathUtils::join(trash, name);
    const auto taken = [&](const QString &path) {
        return reserved.contains(path) || workspace.isTrashNameTaken(path);
    };
    if (taken(destination)) {
        const QString base = PathUtils::baseName(name);
        const QString extension = PathUtils::extension(name);
        do {
            QString unique = base + QLatin1Char('-') + newUuidText().left(8);
            if (!extension.isEmpty())
                unique += QLatin1Char('.') + extension;
            destination = PathUtils::join(trash, unique);
        } while (taken(destination));
    }
    reserved.insert(destination);
    return destination;
}

struct PendingMove
{
    QString source;
    QString destination;
};

bool arrived(const PendingMove &move)
{
    return !PathUtils::existsNoFollow(move.source) && PathUtils::existsNoFollow(move.destination);
}

} // namespace

namespace DuplicateCleanup {

bool isRemovableStandIn(const QString &path)
{
    const QUrl url = QUrl::fromLocalFile(path);
    return BundleProbe::isSymbolicLink(path) || BundleProbe::isAliasFile(url) ||
           BundleProbe::isBuiltProxy(path);
}

void removeStandIns(const QStringList &paths)
{
    for (const QString &path : paths) {
        if (!isRemovableStandIn(path))
            continue;
        try {
            PrivilegeHelper::safeRemove(path);
        } catch (const OperationError &) {
            // What stays shows up in the next inventory.
        }
    }
}

void restoreMissingStandIns(const QList<AppItem> &items)
{
    for (const AppItem &item : items) {
        if (!item.symlinkTarget || !item.isOffloaded())
            continue;
        if (!PathUtils::existsFollowingLinks(*item.symlinkTarget) ||
            PathUtils::existsFollowingLinks(item.id()))
            continue;
        try {
            PrivilegeHelper::createFinderAlias(*item.symlinkTarget, item.id());
        } catch (const OperationError &) {
            // What stays missing shows up in the next inventory.
        }
    }
}

TrashResult trashLocalCopies(const QList<DuplicateLocalInstance> &instances)
{
    System &system = System::current();
    const QString trash = system.paths().trash;
    TrashResult result;
    QList<PendingMove> pending;
    QSet<QString> reserved;
    for (const DuplicateLocalInstance &instance : instances) {
        const AppItem &local = instance.localApp;
        if (local.isRunning) {
            result.errors << local.name +
                                 QStringLiteral(
                                     " is currently running; quit it before moving to Trash.");
            continue;
        }
        if (!PathUtils::existsFollowingLinks(local.id()))
            continue;
        // The local copy is the only one left when the drive copy cannot be reached.
        const std::optional<QString> &primaryTarget = instance.offloadedPrimary.symlinkTarget;
        if (!primaryTarget || !PathUtils::existsFollowingLinks(*primaryTarget)) {
            result.errors << local.name +
                                 QStringLiteral(
                                     ": its offloaded copy is not reachable; not moved to Trash.");
            continue;
        }
        if (system.workspace().moveToTrash(local.id()).ok) {
            ++result.trashedCount;
            continue;
        }
        const QString destination = trashDestination(trash, local.id(), reserved);
        const Verdict recorded = system.workspace().recordTrashArrival(local.id(), destination);
        if (!recorded.ok) {
            result.errors << local.name + QStringLiteral(": ") +
                                 recorded.reason.value_or(QString()) +
                                 QStringLiteral("; not moved to Trash.");
            continue;
        }
        pending.append({local.id(), destination});
    }
    if (pending.isEmpty())
        return result;

    QStringList moves;
    for (const PendingMove &move : std::as_const(pending))
        moves << QStringLiteral("mv -- ") + PrivilegeHelper::shellQuote(move.source) +
                     QLatin1Char(' ') + PrivilegeHelper::shellQuote(move.destination);
    const PrivilegeHelper::CommandResult outcome =
        PrivilegeHelper::runPrivilegedCommand(moves.join(QStringLiteral(" && ")));
    if (outcome.success) {
        result.trashedCount += int(pending.size());
        return result;
    }
    // The chain stops at its first failure; the moves before it did happen.
    for (const PendingMove &move : std::as_const(pending)) {
        if (arrived(move))
            ++result.trashedCount;
        else
            system.workspace().forgetTrashArrival(move.destination);
    }
    result.errors << (outcome.asked ? QStringLiteral("Administrator authorization failed: ")
                                    : QStringLiteral("Could not move to Trash: ")) +
                         outcome.output;
    return result;
}

} // namespace DuplicateCleanup
