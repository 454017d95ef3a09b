#pragma once

#include "base/PathUtils.h"
#include "platform/VolumeService.h"

#include <QList>
#include <QMap>
#include <QPointer>
#include <mutex>

// Volumes as the test describes them. A described volume answers for its root and every path
// below it (below the root, isVolume is false); paths on no described volume have no
// resource values, no space and no type. Nothing is mounted until the test says so.
class FakeVolumeService : public VolumeService
{
public:
    struct Volume
    {
        VolumeResourceValues values;
        std::optional<FileSystemSpace> space;
        std::optional<QString> typeName;
    };

    std::optional<QStringList> mountedVolumePaths() override
    {
        const std::lock_guard lock(m_mutex);
        return m_mounted;
    }

    // The described volumes' roots and the mounted list, as a mount table would have them.
    std::optional<QStringList> allMountPoints() override
    {
        const std::lock_guard lock(m_mutex);
        if (!m_mounted)
            return std::nullopt;
        QStringList points = *m_mounted;
        for (auto it = m_volumes.constBegin(); it != m_volumes.constEnd(); ++it) {
            if (!points.contains(it.key()))
                points.append(it.key());
        }
        return points;
    }

    std::optional<VolumeResourceValues> resourceValues(const QString &path) override
    {
        const std::lock_guard lock(m_mutex);
        const std::optional<QString> root = rootOf(path);
        if (!root)
            return std::nullopt;
        VolumeResourceValues values = m_volumes.value(*root).values;
        if (!values.volumePath)
            values.volumePath = *root;
        if (*root != PathUtils::standardized(path))
            values.isVolume = false;
        return values;
    }

    std::optional<FileSystemSpace> fileSystemSpace(const QString &path) override
    {
        const std::lock_guard lock(m_mutex);
        const std::optional<QString> root = rootOf(path);
        return root ? m_volumes.value(*root).space : std::nullopt;
    }

    std::optional<QString> fileSystemTypeName(const QString &path) override
    {
        const std::lock_guard lock(m_mutex);
        const std::optional<QString> root = rootOf(path);
        return root ? m_volumes.value(*root).typeName : std::nullopt;
    }

    std::unique_ptr<MountWatcher> watchMounts() override
    {
        auto watcher = std::make_unique<MountWatcher>();
        const std::lock_guard lock(m_mutex);
        m_watchers.append(watcher.get());
        return watcher;
    }

    // The list the first discovery pass gets; nothing: the table cannot be read.
    void setMountedVolumePaths(std::optional<QStringList> paths)
    {
        const std::lock_guard lock(m_mutex);
        m_mounted = std::move(paths);
    }
    void setVolume(const QString &root, Volume volume)
    {
        const std::lock_guard lock(m_mutex);
        m_volumes.insert(PathUtils::standardized(root), std::move(volume));
    }
    // Forgets the volume and takes it out of the mounted list, as an unmount does.
    void removeVolume(const QString &root)
    {
        const std::lock_guard lock(m_mutex);
        m_volumes.remove(PathUtils::standardized(root));
        if (m_mounted)
            m_mounted->removeAll(root);
    }
    // What the platform reports after a mount, an unmount or a rename.
    void announceMountChange()
    {
        QList<QPointer<MountWatcher>> watchers;
        {
            const std::lock_guard lock(m_mutex);
            watchers = m_watchers;
        }
        for (const QPointer<MountWatcher> &watcher : watchers) {
            if (watcher)
                emit watcher->mountsChanged();
        }
    }

private:
    std::optional<QString> rootOf(const QString &path) const
    {
        std::optional<QString> best;
        for (auto it = m_volumes.constBegin(); it != m_volumes.constEnd(); ++it) {
            if (PathUtils::isSameOrInside(path, it.key()) &&
                (!best || it.key().size() > best->size()))
                best = it.key();
        }
        return best;
    }

    mutable std::mutex m_mutex;
    std::optional<QStringList> m_mounted = QStringList();
    QMap<QString, Volume> m_volumes;
    QList<QPointer<MountWatcher>> m_watchers;
};
