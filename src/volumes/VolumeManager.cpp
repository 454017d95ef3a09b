#include "volumes/VolumeManager.h"

#include "base/MainThread.h"
#include "base/PathUtils.h"
#include "platform/System.h"
#include "services/AppLogger.h"
#include "services/InventoryCollector.h"
#include "services/LedgerService.h"
#include "services/RecordRule.h"
#include "volumes/EjectBlockers.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QtConcurrent>
#include <algorithm>

namespace {

QString bootRoot()
{
    return PathUtils::resolved(QStringLiteral("/"));
}

bool isBootRoot(const QString &resolvedPath, const QString &boot)
{
    return resolvedPath == QLatin1String("/") || resolvedPath == boot;
}

bool isSystemOrRecovery(const QString &path)
{
    return path.startsWith(QLatin1String("/System")) ||
           PathUtils::lastComponent(path) == QLatin1String("Recovery");
}

TargetVolume makeVolume(const QString &path, const QString &name, bool isRemovable)
{
    const QUrl url = QUrl::fromLocalFile(path);
    const VolumeSpace space = VolumeManager::getVolumeSpace(url);
    const FileSystemTypeInfo type = VolumeManager::getFileSystemType(url);
    return TargetVolume{url,
                        name,
                        space.total,
                        space.free,
                        isRemovable,
                        true,
                        type.type,
                        type.supportsSymlinks,
                        FileSystemIdentity::of(path)};
}

// Pass 1: the mounted volumes the platform lists. The volumes root holds the drives' mount
// points; a file system mounted there (a tmpfs, say) is never a drive itself.
void addMountedVolumes(QList<TargetVolume> &list, const QString &boot)
{
    System &system = System::current();
    const QString volumesRoot = PathUtils::resolved(system.paths().volumesRoot);
    const QStringList paths = system.volumes().mountedVolumePaths().value_or(QStringList());
    for (const QString &path : paths) {
        const QString resolved = PathUtils::resolved(path);
        if (isBootRoot(resolved, boot) || resolved == volumesRoot)
            continue;
        const std::optional<VolumeResourceValues> values = system.volumes().resourceValues(path);
        if (!values || values->isReadOnly == true || values->isInternal == true ||
            values->isVolume == false || isSystemOrRecovery(path))
            continue;
        const QString name = values->volumeName.value_or(PathUtils::lastComponent(path));
        TargetVolume volume = makeVolume(path, name, values->isRemovable.value_or(true));
        if (volume.totalBytes < 1 || !system.isWritable(path))
            continue;
        list.append(std::move(volume));
    }
}

bool isListed(const QList<TargetVolume> &list, const QString &path, const QString &resolved)
{
    return std::any_of(list.cbegin(), list.cend(), [&](const TargetVolume &volume) {
        const QString listed = volume.url.toLocalFile();
        return listed == path || PathUtils::resolved(listed) == resolved;
    });
}

// Pass 2: what the volumes folder holds, for volumes the mount list left out.
void addVolumesFolderEntries(QList<TargetVolume> &list, const QString &boot)
{
    System &system = System::current();
    const QDir folder(system.paths().volumesRoot);
    if (!folder.exists())
        return;
    const QStringList entries =
        folder.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &entry : entries) {
        const QString path = folder.filePath(entry);
        const QString resolved = PathUtils::resolved(path);
        if (isBootRoot(resolved, boot) || isSystemOrRecovery(path))
            continue;
        const std::optional<VolumeResourceValues> values = system.volumes().resourceValues(path);
        if (!values || values->isVolume != true || values->isInternal == true ||
            values->isReadOnly == true || isListed(list, path, resolved))
            continue;
        const QString name = values->volumeName.value_or(entry);
        TargetVolume volume = makeVolume(path, name, true);
        if (volume.totalBytes < 1 || !system.isWritable(path))
            continue;
        list.append(std::move(volume));
    }
}

// The file browser's order: runs of digits compare by value ("Disk 2" before "Disk 10"),
// the text between them without regard to case.
int compareNames(const QString &a, const QString &b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = a[i].isDigit();
        const bool digitB = b[j].isDigit();
        qsizetype endA = i;
        qsizetype endB = j;
        while (endA < a.size() && a[endA].isDigit() == digitA)
            ++endA;
        while (endB < b.size() && b[endB].isDigit() == digitB)
            ++endB;
        QStringView chunkA = QStringView(a).sliced(i, endA - i);
        QStringView chunkB = QStringView(b).sliced(j, endB - j);
        int order = 0;
        if (digitA && digitB) {
            // Compare the values without leading zeros: first by length, then digit by digit.
            while (chunkA.size() > 1 && chunkA.front() == QLatin1Char('0'))
                chunkA = chunkA.sliced(1);
            while (chunkB.size() > 1 && chunkB.front() == QLatin1Char('0'))
                chunkB = chunkB.sliced(1);
            order = chunkA.size() != chunkB.size() ? (chunkA.size() < chunkB.size() ? -1 : 1)
                                                   : chunkA.compare(chunkB);
        } else {
            order = QString::localeAwareCompare(chunkA.toString().toCaseFolded(),
                                                chunkB.toString().toCaseFolded());
        }
        if (order != 0)
            return order;
        i = endA;
        j = endB;
    }
    return int(a.size() - i > 0) - int(b.size() - j > 0);
}

void sortByName(QList<TargetVolume> &list)
{
    std::stable_sort(list.begin(), list.end(), [](const TargetVolume &a, const TargetVolume &b) {
        return compareNames(a.name, b.name) < 0;
    });
}

std::optional<TargetVolume> firstAtPath(const QList<TargetVolume> &list, const QVariant &saved)
{
    if (!saved.isValid() || saved.isNull())
        return std::nullopt;
    const QString path = saved.toString();
    for (const TargetVolume &volume : list) {
        if (volume.url.toLocalFile() == path)
            return volume;
    }
    return std::nullopt;
}

} // namespace

VolumeManager::VolumeManager(LedgerService *ledger, QObject *parent)
    : QObject(parent)
    , m_ledger(ledger)
{
    refreshVolumes();
    m_mountWatcher = System::current().volumes().watchMounts();
    connect(m_mountWatcher.get(), &MountWatcher::mountsChanged, this,
            &VolumeManager::refreshVolumes);
}

VolumeManager::~VolumeManager() = default;

void VolumeManager::setSelectedVolume(const std::optional<TargetVolume> &volume)
{
    m_selectedVolume = volume;
    emit selectedVolumeChanged();
}

void VolumeManager::setAvailableVolumes(const QList<TargetVolume> &volumes)
{
    m_availableVolumes = volumes;
    emit availableVolumesChanged();
}

void VolumeManager::setCustomTarget(const std::optional<TargetVolume> &volume)
{
    m_customTarget = volume;
    emit customTargetChanged();
}

void VolumeManager::refreshVolumes()
{
    const QList<TargetVolume> volumes = discoverVolumes();
    onMainThread(this, [this, volumes] { applyRefreshedVolumes(volumes); });
}

QList<TargetVolume> VolumeManager::discoverVolumes()
{
    const QString boot = bootRoot();
    QList<TargetVolume> list;
    addMountedVolumes(list, boot);
    addVolumesFolderEntries(list, boot);
    sortByName(list);
    return list;
}

VolumeSpace VolumeManager::getVolumeSpace(const QUrl &url)
{
    VolumeService &volumes = System::current().volumes();
    const QString path = url.toLocalFile();
    if (const std::optional<FileSystemSpace> space = volumes.fileSystemSpace(path);
        space && space->total > 0)
        return {space->total, space->free};
    const std::optional<VolumeResourceValues> values = volumes.resourceValues(path);
    if (!values)
        return {};
    return {values->totalCapacity.value_or(0), values->availableCapacity.value_or(0)};
}

FileSystemTypeInfo VolumeManager::getFileSystemType(const QUrl &url)
{
    VolumeService &volumes = System::current().volumes();
    const QString path = url.toLocalFile();
    const std::optional<VolumeResourceValues> values = volumes.resourceValues(path);
    FileSystemTypeInfo info{QStringLiteral("APFS"), false};
    if (const std::optional<QString> name = volumes.fileSystemTypeName(path))
        info.type = name->toUpper();
    else if (values && values->volumeTypeName)
        info.type = values->volumeTypeName->toUpper();
    if (values && values->supportsSymlinks)
        info.supportsSymlinks = *values->supportsSymlinks;
    else
        info.supportsSymlinks =
            info.type == QLatin1String("APFS") || info.type.contains(QLatin1String("HFS"));
    return info;
}

void VolumeManager::selectVolume(const TargetVolume &volume)
{
    setSelectedVolume(volume);
    System::current().preferences().setValue(lastSelectedKey(), volume.url.toLocalFile());
}

std::optional<QString> VolumeManager::selectCustomDirectory(const QUrl &url)
{
    System &system = System::current();
    const QString path = PathUtils::standardized(url.toLocalFile());
    if (isBootRoot(PathUtils::resolved(url.toLocalFile()), bootRoot()))
        return std::nullopt;
    const std::optional<VolumeResourceValues> values = system.volumes().resourceValues(path);
    if (values && (values->isInternal == true || values->isRootFileSystem == true)) {
        AppLogger::shared().log(AppLogLevel::warning, QStringLiteral("Volume"),
                                QStringLiteral("Rejected custom destination on internal/boot "
                                               "disk: ") +
                                    path);
        return std::nullopt;
    }
    // The restore accepts copies only where this rule does: a backup it would refuse is never
    // begun. The folders the copies go through are those of the applications this Mac has.
    if (const Verdict place =
            RecordRule::checkTarget(path, InventoryCollector::applicationSubfolders());
        !place.ok) {
        const QString reason = place.reason.value_or(QString());
        AppLogger::shared().log(AppLogLevel::warning, QStringLiteral("Volume"),
                                QStringLiteral("Rejected custom destination: ") + reason);
        return QStringLiteral("This folder cannot be the target: ") + reason + QLatin1Char('.');
    }
    const QString folderName = PathUtils::lastComponent(path);
    const QString volumeName = values && values->volumeName ? *values->volumeName : folderName;
    const VolumeSpace space = getVolumeSpace(url);
    const FileSystemTypeInfo type = getFileSystemType(url);
    const TargetVolume folder{url,
                              folderName + QStringLiteral(" (") + volumeName + QLatin1Char(')'),
                              space.total,
                              space.free,
                              true,
                              system.isWritable(path),
                              type.type,
                              type.supportsSymlinks,
                              FileSystemIdentity::of(path)};
    setCustomTarget(folder);
    setSelectedVolume(folder);
    system.preferences().setValue(lastSelectedKey(), path);
    return std::nullopt;
}

void VolumeManager::applyRefreshedVolumes(const QList<TargetVolume> &volumes)
{
    setAvailableVolumes(volumes);
    const QVariant saved = System::current().preferences().value(lastSelectedKey());
    // The folder outlives its drive: an unmount leaves the empty mount-point folder behind,
    // so the target is gone once its file system is no longer mounted where it was.
    if (m_customTarget &&
        (!m_customTarget->fileSystem || !m_customTarget->fileSystem->holds(m_customTarget->id())))
        setCustomTarget(std::nullopt);
    if (!m_selectedVolume) {
        setSelectedVolume(firstAtPath(volumes, saved));
        return;
    }
    const QUrl selectedUrl = m_selectedVolume->url;
    const auto same = std::find_if(volumes.cbegin(), volumes.cend(),
                                   [&](const TargetVolume &v) { return v.url == selectedUrl; });
    if (same != volumes.cend())
        setSelectedVolume(*same);
    else if (m_customTarget && m_customTarget->url == selectedUrl)
        setSelectedVolume(m_customTarget);
    else
        setSelectedVolume(firstAtPath(volumes, saved));
}

QList<MigrationRecord> VolumeManager::ledgerRecords() const
{
    return (m_ledger ? *m_ledger : LedgerService::shared()).records();
}

QStringList VolumeManager::runningOffloadedApps(const TargetVolume &volume) const
{
    return EjectBlockers::runningOffloadedApps(
        volume.url.toLocalFile(), ledgerRecords(),
        System::current().workspace().runningApplicationBundles());
}

QFuture<EjectResult> VolumeManager::safelyEject(const TargetVolume &volume)
{
    // The ledger is read here, on the main thread; the worker gets a copy. The worker never
    // touches this manager: an eject may take minutes, and a window closed meanwhile must
    // not wait for it. The list found after a successful eject reaches the manager only if
    // it is still there.
    const QPointer<VolumeManager> self(this);
    return QtConcurrent::run([self, volume, records = ledgerRecords()] {
        return SafeEject(volume, records,
                         [self] {
                             const QList<TargetVolume> volumes = discoverVolumes();
                             QMetaObject::invokeMethod(
                                 QCoreApplication::instance(),
                                 [self, volumes] {
                                     if (self)
                                         self->applyRefreshedVolumes(volumes);
                                 },
                                 Qt::QueuedConnection);
                         })
            .run();
    });
}
