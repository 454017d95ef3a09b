#include "services/InventoryCollector.h"

#include "base/NameOrder.h"
#include "base/PathUtils.h"
#include "base/PlistFile.h"
#include "platform/System.h"
#include "services/BundleFacts.h"
#include "services/LinkResolver.h"
#include "services/ProtectionGuard.h"

#include <QDir>
#include <QHash>
#include <QtConcurrent/QtConcurrentMap>
#include <algorithm>

namespace {

void listInto(const QString &folder, FileResources &resources, QStringList &out)
{
    const QStringList names = QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const QString path = folder + QLatin1Char('/') + name;
        if (resources.isHidden(path))
            continue;
        out.append(path);
        if (PathUtils::isDirectoryNoFollow(path) && !resources.isPackage(path))
            listInto(path, resources, out);
    }
}

// The folders between an Applications folder and the item, as the drive layout keeps them.
std::optional<QString> subfolderOf(const QString &path)
{
    const SystemPaths paths = System::current().paths();
    const QString folder = PathUtils::parentPath(path);
    for (const QString &root : {paths.applications, paths.userApplications}) {
        const QString prefix = root + QLatin1Char('/');
        if (folder.startsWith(prefix))
            return folder.mid(prefix.size());
    }
    return std::nullopt;
}

// Who wins when two stand-ins share a target; nothing on a tie.
std::optional<bool> newcomerWins(const AppItem &kept, const AppItem &newcomer)
{
    const bool keptWorks = kept.status() == AppOffloadStatus::offloaded;
    const bool newWorks = newcomer.status() == AppOffloadStatus::offloaded;
    if (keptWorks != newWorks)
        return newWorks;
    const bool keptTagged = kept.name.contains(QLatin1Char('['));
    const bool newTagged = newcomer.name.contains(QLatin1Char('['));
    if (keptTagged != newTagged)
        return !newTagged;
    const auto depth = [](const AppItem &item) {
        return item.id().split(QLatin1Char('/'), Qt::SkipEmptyParts).size();
    };
    if (depth(kept) != depth(newcomer))
        return depth(newcomer) < depth(kept);
    return std::nullopt;
}

} // namespace

InventoryCollector::InventoryCollector(QList<MigrationRecord> ledger, QSet<QString> running,
                                       const QStringList &supportRoots)
    : m_ledger(std::move(ledger))
    , m_running(std::move(running))
    , m_volumes(LinkResolver::externalVolumes())
    , m_supportFolders(supportRoots)
{}

QStringList InventoryCollector::listApplicationCandidates(const QString &root)
{
    QStringList out;
    if (PathUtils::isDirectory(root))
        listInto(root, System::current().fileResources(), out);
    return out;
}

QStringList InventoryCollector::applicationSubfolders()
{
    FileResources &resources = System::current().fileResources();
    QStringList subfolders;
    for (const QString &root : System::current().paths().applicationFolders()) {
        for (const QString &path : listApplicationCandidates(root)) {
            if (!PathUtils::isDirectoryNoFollow(path) || resources.isPackage(path))
                continue;
            const QString relative = path.mid(root.size() + 1);
            if (!subfolders.contains(relative))
                subfolders.append(relative);
        }
    }
    return subfolders;
}

QList<AppItem> InventoryCollector::collect() const
{
    QStringList listed;
    for (const QString &root : System::current().paths().applicationFolders())
        listed += listApplicationCandidates(root);
    // Items are independent and each costs several reads, so they are built in parallel,
    // each into its own place: the order of `listed` is kept without an ordered hand-over
    // that would hold the threads back.
    struct Cell
    {
        QString path;
        std::optional<AppItem> item;
    };
    QList<Cell> cells;
    cells.reserve(listed.size());
    for (const QString &path : std::as_const(listed))
        cells.append({path, std::nullopt});
    QtConcurrent::blockingMap(cells, [this](Cell &cell) { cell.item = buildItem(cell.path); });
    QList<AppItem> items;
    items.reserve(cells.size());
    for (Cell &cell : cells) {
        if (cell.item)
            items.append(std::move(*cell.item));
    }
    QList<AppItem> folded = foldDuplicateAliases(items);
    sortByName(folded);
    return folded;
}

std::optional<AppItem> InventoryCollector::buildItem(const QString &path) const
{
    const bool namedApp =
        PathUtils::extension(path).compare(QLatin1String("app"), Qt::CaseInsensitive) == 0;
    const bool aliasFlag = System::current().fileResources().isAliasFile(path).value_or(false);
    if (!namedApp && !aliasFlag)
        return std::nullopt;
    // The item's own Info.plist (its target's, through a link) is read once for every rule
    // that needs it, and the target's at most once.
    const auto readInfo = [](const QString &bundle) {
        return PlistFile::readDictionary(bundle + QStringLiteral("/Contents/Info.plist"));
    };
    std::optional<QVariantMap> info;
    if (namedApp)
        info = readInfo(path);
    const LinkResolution link = namedApp ? LinkResolver::resolveLinkTarget(path, info)
                                         : LinkResolver::resolveLinkTarget(path);
    if (!namedApp && !(link.isLink && link.target->endsWith(QLatin1String(".app"))))
        return std::nullopt;
    if (!namedApp)
        info = readInfo(path);

    AppItem item{QUrl::fromLocalFile(path), PathUtils::baseName(path)};
    std::optional<std::optional<QVariantMap>> targetInfo;
    const auto readTargetInfo = [&]() -> std::optional<QVariantMap> {
        if (!targetInfo)
            targetInfo = item.symlinkTarget ? readInfo(*item.symlinkTarget) : std::nullopt;
        return *targetInfo;
    };
    // An alias whose destination cannot be found still stands for an application elsewhere:
    // a link without target ("Drive Missing"), never a bundle that could be offloaded.
    if (link.isLink || aliasFlag)
        applyLinkFields(item, link.target, info, readTargetInfo);
    else
        applyBundleFields(item, info);
    item.bundleIdentifier = BundleFacts::bundleIdentifier(info, readTargetInfo);
    item.supportFolders = m_supportFolders.discover(item.name, item.bundleIdentifier);
    const ProtectionResult protection =
        ProtectionGuard::checkProtection(item.url, item.bundleIdentifier);
    item.isProtected = protection.isProtected;
    item.protectedReason = protection.reason;
    if (m_running.contains(PathUtils::standardized(path)))
        item.isRunning = true;
    else if (item.symlinkTarget)
        item.isRunning = m_running.contains(PathUtils::standardized(*item.symlinkTarget));
    return item;
}

void InventoryCollector::applyLinkFields(
    AppItem &item, const std::optional<QString> &target, const std::optional<QVariantMap> &info,
    const std::function<std::optional<QVariantMap>()> &targetInfo) const
{
    item.isSymlink = true;
    item.isAlias = true;
    item.symlinkTarget = target;
    const VersionInfo targetVersion =
        target ? BundleFacts::versionInfo(targetInfo()) : VersionInfo{};
    item.externalVersion = targetVersion.displayVersion;
    item.version = targetVersion.displayVersion ? targetVersion.displayVersion
                                                : BundleFacts::versionInfo(info).displayVersion;
}

void InventoryCollector::applyBundleFields(AppItem &item,
                                           const std::optional<QVariantMap> &info) const
{
    const QString path = item.id();
    const VersionInfo local = BundleFacts::versionInfo(info);
    item.version = local.displayVersion;
    const std::optional<MigrationRecord> record = LinkResolver::ledgerRecord(path, m_ledger);
    const std::optional<QString> copy =
        LinkResolver::findExternalCopy(path, subfolderOf(path), record, m_volumes);
    if (!copy) {
        item.isCopied =
            m_volumes.isEmpty() && record && record->status == MigrationStatus::copied();
        return;
    }
    // Only a record that moved the application itself (one that names its drive copy) and is
    // not restored can have been replaced by an update; one that keeps only support folders on
    // the drive, as a restore that brought the application back without them leaves, cannot.
    const bool offloaded = record && record->movedApp && record->appTargetPath &&
                           record->status != MigrationStatus::restored();
    // A copy that a restored record names, and no newer record in force, is what that restore
    // left on the drive (kept as it changed, or not removed): no longer this application's,
    // and nothing offered here may replace it.
    const QString found = PathUtils::standardized(*copy);
    const auto names = [&](const MigrationRecord &r) {
        return r.appTargetPath && PathUtils::standardized(*r.appTargetPath) == found;
    };
    const bool leftByARestore =
        std::any_of(m_ledger.cbegin(), m_ledger.cend(), [&](const MigrationRecord &r) {
            return r.appOriginalPath == path && r.movedApp &&
                   r.status == MigrationStatus::restored() && names(r);
        });
    if (leftByARestore &&
        (!record || !names(*record) || record->status == MigrationStatus::restored()))
        return;
    const VersionInfo external = BundleFacts::versionInfo(*copy);
    item.externalAppPath = copy;
    item.externalVersion = external.displayVersion;
    if (offloaded) {
        item.isOverwrittenOffload = true;
        item.symlinkTarget = copy;
    } else {
        item.isCopied = true;
        item.isUpdateOutOfSync = BundleFacts::isUpdateOutOfSync(local, external);
    }
}

QList<AppItem> foldDuplicateAliases(const QList<AppItem> &items)
{
    QList<AppItem> result;
    QHash<QString, qsizetype> positions;
    for (const AppItem &item : items) {
        if (!item.symlinkTarget || !item.isOffloaded()) {
            result.append(item);
            continue;
        }
        const QString key = PathUtils::standardized(*item.symlinkTarget);
        const auto position = positions.constFind(key);
        if (position == positions.constEnd()) {
            positions.insert(key, result.size());
            result.append(item);
            continue;
        }
        AppItem &kept = result[*position];
        if (newcomerWins(kept, item).value_or(false)) {
            AppItem winner = item;
            winner.duplicateAliasPaths = QStringList{kept.id()} + kept.duplicateAliasPaths;
            kept = winner;
        } else {
            kept.duplicateAliasPaths.append(item.id());
        }
    }
    return result;
}

void sortByName(QList<AppItem> &items)
{
    const QCollator collator = fileBrowserCollator();
    std::stable_sort(items.begin(), items.end(), [&collator](const AppItem &a, const AppItem &b) {
        return collator.compare(a.name, b.name) < 0;
    });
}
