#pragma once

#include "support/Sandbox.h"
#include "support/Wait.h"
#include "volumes/VolumeManager.h"

#include <QDir>
#include <ostream>

inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

// A mounted external drive as the fake platform reports it: writable, not internal.
inline FakeVolumeService::Volume externalDrive(const QString &name, qint64 total = 1000,
                                               qint64 free = 400,
                                               const QString &type = QStringLiteral("ext4"))
{
    FakeVolumeService::Volume volume;
    volume.values.volumeName = name;
    volume.values.isRemovable = true;
    volume.values.isReadOnly = false;
    volume.values.isInternal = false;
    volume.values.isVolume = true;
    volume.values.isRootFileSystem = false;
    volume.values.supportsSymlinks = true;
    volume.space = FileSystemSpace{total, free};
    volume.typeName = type;
    return volume;
}

// Describes `path` (made as a folder) as a mounted drive and lists it in the mount table.
inline void mountDrive(FakeSystem &system, const QString &path, FakeVolumeService::Volume volume)
{
    QDir().mkpath(path);
    system.fakeVolumes().setVolume(path, std::move(volume));
    QStringList mounted = system.fakeVolumes().mountedVolumePaths().value_or(QStringList());
    if (!mounted.contains(path))
        mounted.append(path);
    system.fakeVolumes().setMountedVolumePaths(mounted);
}

inline QStringList volumeNames(const QList<TargetVolume> &volumes)
{
    QStringList names;
    for (const TargetVolume &volume : volumes)
        names.append(volume.name);
    return names;
}

// The manager after its first refresh has been published.
inline std::unique_ptr<VolumeManager> startedManager(LedgerService *ledger = nullptr)
{
    auto manager = std::make_unique<VolumeManager>(ledger);
    drainEvents();
    return manager;
}
