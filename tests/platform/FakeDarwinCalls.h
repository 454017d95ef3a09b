#pragma once

#include "base/PathUtils.h"
#include "platform/macos/DarwinCalls.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

// Answers the Darwin calls from tables the test fills in. The storage calls act for real where
// this system has the same call (fsync, a shared mapping invalidated) and are recorded.
class FakeDarwinCalls : public DarwinCalls
{
public:
    // One storage call: which, on which file (its inode), where the file's reads had come to,
    // and the first byte of a discarded range.
    struct StorageCall
    {
        QString call; // "sync", "drive cache", "discard", "uncached"
        qint64 inode = 0;
        qint64 position = 0;
        qint64 offset = 0;

        friend bool operator==(const StorageCall &, const StorageCall &) = default;
    };

    std::optional<QList<DarwinMount>> table = QList<DarwinMount>();
    QHash<qint32, QString> processes; // pid -> executable ("" when proc_pidpath fails)
    QSet<QString> hiddenFlags;
    QHash<QString, QString> bookmarks; // bookmark file -> resolved target
    QList<std::pair<QString, QString>> bookmarksWritten;
    bool bookmarkWriteSucceeds = true;
    QStringList logged;

    std::optional<QList<DarwinMount>> mounts() override { return table; }

    // As statfs: the mount with the deepest mount point above the resolved path. As on a
    // Mac, the folders that firmlinks carry from the read-only system volume "/" to the data
    // volume belong to the data volume, when the table has one.
    std::optional<DarwinMount> mountHolding(const QString &path) override
    {
        const QString resolved = PathUtils::resolved(path);
        std::optional<DarwinMount> found;
        std::optional<DarwinMount> dataVolume;
        for (const DarwinMount &mount : table.value_or(QList<DarwinMount>())) {
            if (mount.mountPoint == QLatin1String("/System/Volumes/Data"))
                dataVolume = mount;
            if (PathUtils::isSameOrInside(resolved, mount.mountPoint) &&
                (!found || mount.mountPoint.size() > found->mountPoint.size()))
                found = mount;
        }
        if (found && found->mountPoint == QLatin1String("/") && dataVolume) {
            for (const char *firmlink : {"/Applications", "/Library", "/Users", "/Volumes",
                                         "/private", "/opt", "/usr/local", "/cores"}) {
                if (PathUtils::isSameOrInside(resolved, QLatin1String(firmlink)))
                    return dataVolume;
            }
        }
        return found;
    }

    QList<qint32> userProcessIds() override { return processes.keys(); }
    QString processPath(qint32 pid) override { return processes.value(pid); }
    bool hasHiddenFlag(const QString &path) override { return hiddenFlags.contains(path); }

    std::optional<QString> resolveBookmarkFile(const QString &path) override
    {
        const auto found = bookmarks.constFind(path);
        return found == bookmarks.constEnd() ? std::nullopt : std::optional<QString>(*found);
    }

    bool writeBookmarkFile(const QString &targetPath, const QString &aliasPath) override
    {
        bookmarksWritten.append({targetPath, aliasPath});
        return bookmarkWriteSucceeds;
    }

    void log(const QByteArray &subsystem, const QByteArray &category, DarwinLogType type,
             const QByteArray &message) override
    {
        logged.append(QString::fromUtf8(subsystem + ' ' + category + ' ' +
                                        (type == DarwinLogType::error ? "error" : "notice") + ' ' +
                                        message));
    }

    int syncFile(int fd) override
    {
        const int number = record(QStringLiteral("sync"), fd);
        {
            const std::lock_guard lock(m_mutex);
            if (number == m_failingSync)
                return EIO;
        }
        return ::fsync(fd) == 0 ? 0 : errno;
    }
    int syncDriveCache(int fd) override
    {
        record(QStringLiteral("drive cache"), fd);
        return ::fsync(fd) == 0 ? 0 : errno;
    }
    int discardCachedPages(int fd, qint64 offset, qint64 length) override
    {
        record(QStringLiteral("discard"), fd, offset);
        return invalidateCachedRange(fd, offset, length);
    }
    int readUncached(int fd) override
    {
        record(QStringLiteral("uncached"), fd);
        return 0;
    }

    // The storage calls so far, in order.
    [[nodiscard]] QList<StorageCall> storageCalls() const
    {
        const std::lock_guard lock(m_mutex);
        return m_storageCalls;
    }
    // The syncFile call of this number (from 1) fails with EIO; 0: none does.
    void failSyncNumber(int number)
    {
        const std::lock_guard lock(m_mutex);
        m_failingSync = number;
    }

private:
    // The number of this call among the calls of its kind.
    int record(const QString &call, int fd, qint64 offset = 0)
    {
        struct stat info
        {};
        (void)::fstat(fd, &info);
        const qint64 position = qint64(::lseek(fd, 0, SEEK_CUR));
        const std::lock_guard lock(m_mutex);
        m_storageCalls.append({call, qint64(info.st_ino), position, offset});
        return int(std::count_if(m_storageCalls.cbegin(), m_storageCalls.cend(),
                                 [&](const StorageCall &made) { return made.call == call; }));
    }

    mutable std::mutex m_mutex;
    QList<StorageCall> m_storageCalls;
    int m_failingSync = 0;
};
