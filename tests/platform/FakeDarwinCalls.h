#pragma once

#include "base/PathUtils.h"
#include "platform/macos/DarwinCalls.h"

#include <QFile>
#include <QHash>
#include <QMap>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

// Answers the Darwin calls from tables the test fills in. The storage calls act for real where
// this system has the same call (fsync, a shared mapping invalidated) and are recorded.
class FakeDarwinCalls : public DarwinCalls
{
public:
    // One storage call: which, on which file (its inode), where the file's reads had come to,
    // and the range a discard or an advice names.
    struct StorageCall
    {
        QString call; // "sync", "drive cache", "discard", "uncached", "advise"
        qint64 inode = 0;
        qint64 position = 0;
        qint64 offset = 0;
        qint64 length = 0;

        friend bool operator==(const StorageCall &, const StorageCall &) = default;
    };
    // Picks the storage calls to fail: given the call, the file's path and how many calls of
    // that kind the file had before, an errno, or 0 to let the call run.
    using FailurePick = std::function<int(const QString &call, const QString &path, int earlier)>;

    // What libproc tells of one process's files.
    struct ProcessFiles
    {
        int error = 0; // what every call about it answers: EPERM (another user's), ESRCH (ended)
        QString name;  // proc_name
        QMap<qint32, DarwinOpenVnode> descriptors;
        QList<DarwinRegion> regions; // in the order of their addresses
        DarwinProcessFolders folders;
    };

    std::optional<QList<DarwinMount>> table = QList<DarwinMount>();
    QHash<qint32, QString> processes; // pid -> executable ("" when proc_pidpath fails)
    // Every process listed has files, none where it has no entry; nothing listed at all when
    // `processesListed` is false.
    QMap<qint32, ProcessFiles> processFiles;
    bool processesListed = true;
    QSet<QString> hiddenFlags;
    QHash<QString, quint32> flags;     // path -> st_flags
    QHash<QString, QString> bookmarks; // bookmark file -> resolved target
    QList<std::pair<QString, QString>> bookmarksWritten;
    bool bookmarkWriteSucceeds = true;
    QStringList logged;
    // Where Gatekeeper put a translocated copy -> the folder it stands for; what lies inside
    // it stands for the same place inside that folder.
    QHash<QString, QString> translocations;

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
    std::optional<QList<qint32>> allProcessIds() override
    {
        if (!processesListed)
            return std::nullopt;
        QList<qint32> pids = processFiles.keys();
        for (auto it = processes.cbegin(); it != processes.cend(); ++it) {
            if (!pids.contains(it.key()))
                pids.append(it.key());
        }
        return pids;
    }
    QString processName(qint32 pid) override { return processFiles.value(pid).name; }
    DarwinAnswer<QList<qint32>> vnodeDescriptors(qint32 pid) override
    {
        const ProcessFiles files = processFiles.value(pid);
        return {files.descriptors.keys(), files.error};
    }
    DarwinAnswer<DarwinOpenVnode> openVnode(qint32 pid, qint32 fd) override
    {
        const ProcessFiles files = processFiles.value(pid);
        if (files.error)
            return {{}, files.error};
        const auto found = files.descriptors.constFind(fd);
        return found == files.descriptors.cend() ? DarwinAnswer<DarwinOpenVnode>{{}, EBADF}
                                                 : DarwinAnswer<DarwinOpenVnode>{*found, 0};
    }
    DarwinAnswer<DarwinRegion> regionFrom(qint32 pid, quint64 address) override
    {
        const ProcessFiles files = processFiles.value(pid);
        if (files.error)
            return {{}, files.error};
        for (const DarwinRegion &region : files.regions) {
            if (region.address + region.size > address)
                return {region, 0};
        }
        return {{}, EINVAL};
    }
    DarwinAnswer<DarwinProcessFolders> processFolders(qint32 pid) override
    {
        const ProcessFiles files = processFiles.value(pid);
        return {files.folders, files.error};
    }
    bool hasHiddenFlag(const QString &path) override { return hiddenFlags.contains(path); }
    std::optional<quint32> fileFlags(const QString &path) override
    {
        return flags.contains(path) ? std::optional(flags.value(path)) : std::nullopt;
    }

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
        const Recorded made = record(QStringLiteral("sync"), fd);
        {
            const std::lock_guard lock(m_mutex);
            if (made.number == m_failingSync)
                return EIO;
        }
        if (made.injected)
            return made.injected;
        return ::fsync(fd) == 0 ? 0 : errno;
    }
    int syncDriveCache(int fd) override
    {
        if (const int err = record(QStringLiteral("drive cache"), fd).injected)
            return err;
        return ::fsync(fd) == 0 ? 0 : errno;
    }
    int discardCachedPages(int fd, qint64 offset, qint64 length) override
    {
        if (const int err = record(QStringLiteral("discard"), fd, offset, length).injected)
            return err;
        return invalidateCachedRange(fd, offset, length);
    }
    int readUncached(int fd) override { return record(QStringLiteral("uncached"), fd).injected; }
    int adviseRead(int fd, qint64 offset, int length) override
    {
        return record(QStringLiteral("advise"), fd, offset, length).injected;
    }
    bool isCompressed(int fd) override
    {
        const QString path = pathOf(fd);
        const std::lock_guard lock(m_mutex);
        return m_resourceForks.contains(path);
    }
    int openResourceFork(int folder, const QByteArray &name) override
    {
        const QString path = pathOf(folder) + QLatin1Char('/') + QFile::decodeName(name);
        QString standIn;
        {
            const std::lock_guard lock(m_mutex);
            standIn = m_resourceForks.value(path);
        }
        if (standIn.isEmpty()) {
            errno = ENOENT;
            return -1;
        }
        return ::open(QFile::encodeName(standIn).constData(), O_RDONLY | O_CLOEXEC);
    }

    std::optional<QString> translocatedOriginal(const QString &path) override
    {
        for (auto it = translocations.cbegin(); it != translocations.cend(); ++it) {
            if (PathUtils::isSameOrInside(path, it.key()))
                return it.value() + path.mid(it.key().size());
        }
        return std::nullopt;
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
    // Fails the calls `pick` chooses, from now on.
    void failWhere(FailurePick pick)
    {
        const std::lock_guard lock(m_mutex);
        m_pick = std::move(pick);
    }
    // The file at `path` (as the kernel spells it, links resolved) counts as compressed, its
    // resource fork standing at `forkStandIn`, a file elsewhere (empty: it has none).
    void compress(const QString &path, const QString &forkStandIn)
    {
        const std::lock_guard lock(m_mutex);
        m_resourceForks.insert(path, forkStandIn);
    }

    // The path `fd` was opened by, as the kernel keeps it.
    static QString pathOf(int fd)
    {
        return QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + QString::number(fd));
    }

private:
    struct Recorded
    {
        int number = 0;   // among the calls of its kind, from 1
        int injected = 0; // the errno chosen for it, or 0
    };

    Recorded record(const QString &call, int fd, qint64 offset = 0, qint64 length = 0)
    {
        struct stat info
        {};
        (void)::fstat(fd, &info);
        const qint64 position = qint64(::lseek(fd, 0, SEEK_CUR));
        const StorageCall made{call, qint64(info.st_ino), position, offset, length};
        FailurePick pick;
        Recorded recorded;
        int earlier = 0;
        {
            const std::lock_guard lock(m_mutex);
            for (const StorageCall &before : std::as_const(m_storageCalls)) {
                if (before.call == call) {
                    ++recorded.number;
                    earlier += before.inode == made.inode ? 1 : 0;
                }
            }
            ++recorded.number;
            m_storageCalls.append(made);
            pick = m_pick;
        }
        if (pick)
            recorded.injected = pick(call, pathOf(fd), earlier);
        return recorded;
    }

    mutable std::mutex m_mutex;
    QList<StorageCall> m_storageCalls;
    int m_failingSync = 0;
    FailurePick m_pick;
    QHash<QString, QString> m_resourceForks; // compressed file -> stand-in of its fork
};
