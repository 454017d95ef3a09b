#pragma once

#include "model/TargetVolume.h"
#include "volumes/SafeEject.h"

#include <QFuture>
#include <QList>
#include <QObject>
#include <QUrl>
#include <memory>
#include <optional>

class LedgerService;
class MountWatcher;

// Size and free space of the file system holding a path; (0, 0) when nothing can be read.
struct VolumeSpace
{
    qint64 total = 0;
    qint64 free = 0;

    friend bool operator==(const VolumeSpace &, const VolumeSpace &) = default;
};

// The upper-case file-system name ("EXT4", "APFS") and whether it keeps symbolic links.
struct FileSystemTypeInfo
{
    QString type;
    bool supportsSymlinks = false;

    friend bool operator==(const FileSystemTypeInfo &, const FileSystemTypeInfo &) = default;
};

// The drives that can receive applications, the chosen target (a drive or a folder on one),
// and the safe eject. One per main window; lives on the main thread, where its published
// properties change, each assignment emitting its signal even when the value is the same.
//
// Discovery lists mounted, external, writable volumes, sorted by name, and runs again on
// every mount and unmount the platform reports. The chosen drive's path is kept in the
// user's defaults and selects that drive again whenever it is listed while nothing is
// selected.
class VolumeManager final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(
        QList<TargetVolume> availableVolumes READ availableVolumes NOTIFY availableVolumesChanged)
    Q_PROPERTY(std::optional<TargetVolume> selectedVolume READ selectedVolume WRITE
                   setSelectedVolume NOTIFY selectedVolumeChanged)
    Q_PROPERTY(
        std::optional<TargetVolume> customTarget READ customTarget NOTIFY customTargetChanged)

public:
    // Starts the first refresh (published on a later turn of the event loop), then follows
    // mount events. `ledger` (not owned) is where running offloaded applications are looked
    // up; nothing means LedgerService::shared().
    explicit VolumeManager(LedgerService *ledger = nullptr, QObject *parent = nullptr);
    // A safe eject still running goes on to its end without the manager; nothing waits.
    ~VolumeManager() override;

    // The user-defaults key of the saved target path.
    [[nodiscard]] static QString lastSelectedKey()
    {
        return QStringLiteral("Korvanthelix_LastSelectedVolumePath");
    }

    [[nodiscard]] QList<TargetVolume> availableVolumes() const { return m_availableVolumes; }
    [[nodiscard]] std::optional<TargetVolume> selectedVolume() const { return m_selectedVolume; }
    [[nodiscard]] std::optional<TargetVolume> customTarget() const { return m_customTarget; }
    // Sets the target without touching the saved path (the toolbar's custom-folder row).
    void setSelectedVolume(const std::optional<TargetVolume> &volume);

    // Lists the volumes on the calling thread and publishes the list, and the reconciled
    // target, on the main thread later. Callable from any thread; never fails.
    void refreshVolumes();

    [[nodiscard]] static VolumeSpace getVolumeSpace(const QUrl &url);
    [[nodiscard]] static FileSystemTypeInfo getFileSystemType(const QUrl &url);

    // Makes `volume` the target and saves its path.
    void selectVolume(const TargetVolume &volume);
    // Makes the folder the target and the custom target and saves its path, unless it is the
    // boot volume's root or lies on an internal or root file system (refused, logged), or it is
    // a place whose copies the restore would refuse or would leave the folder's own file system
    // (RecordRule::checkTarget, with the subfolders this Mac's applications lie in; refused,
    // logged, and the returned text tells the user why). Nothing when the folder was not
    // refused for that last reason.
    std::optional<QString> selectCustomDirectory(const QUrl &url);
    // The main-thread step of a refresh: publishes `volumes`, drops a custom target whose file
    // system is no longer mounted where it was when chosen (or that is gone), and reconciles the
    // target with the list and the saved path.
    void applyRefreshedVolumes(const QList<TargetVolume> &volumes);

    // Bundle paths of the running applications that were moved to `volume` (on the calling
    // thread).
    [[nodiscard]] QStringList runningOffloadedApps(const TargetVolume &volume) const;
    // Unmounts and ejects the drive of `volume` on a worker thread (see SafeEject); refreshes
    // the list when it succeeded and the manager still exists. The future never holds an
    // exception.
    [[nodiscard]] QFuture<EjectResult> safelyEject(const TargetVolume &volume);

signals:
    void availableVolumesChanged();
    void selectedVolumeChanged();
    void customTargetChanged();

private:
    [[nodiscard]] static QList<TargetVolume> discoverVolumes();
    [[nodiscard]] QList<MigrationRecord> ledgerRecords() const;
    void setAvailableVolumes(const QList<TargetVolume> &volumes);
    void setCustomTarget(const std::optional<TargetVolume> &volume);

    LedgerService *m_ledger = nullptr;
    QList<TargetVolume> m_availableVolumes;
    std::optional<TargetVolume> m_selectedVolume;
    std::optional<TargetVolume> m_customTarget;
    std::unique_ptr<MountWatcher> m_mountWatcher;
};
