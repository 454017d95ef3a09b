// In a Mac-shaped build on another system, this file takes the place of the Darwin calls
// (DarwinCalls_apple.cpp): the macOS backend is wired as on a Mac, its Darwin calls answered
// by the tests' fake of a Mac's disks.

#include "../platform/FakeDarwinCalls.h"

#include "base/PathUtils.h"
#include "platform/macos/MacCopyTool.h"
#include "platform/macos/MacEjectTools.h"
#include "platform/macos/MacFileResources.h"
#include "platform/macos/MacSystem.h"

#include <QFile>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A Mac's startup disk: the read-only system volume and its data volume.
std::shared_ptr<DarwinCalls> makeDarwinCalls()
{
    auto calls = std::make_shared<FakeDarwinCalls>();
    DarwinMount system;
    system.mountPoint = QStringLiteral("/");
    system.device = QStringLiteral("/dev/disk3s1s1");
    system.fileSystemType = QStringLiteral("apfs");
    system.isReadOnly = system.isLocal = system.isRootFileSystem = true;
    DarwinMount data = system;
    data.mountPoint = QStringLiteral("/System/Volumes/Data");
    data.device = QStringLiteral("/dev/disk3s5");
    data.isReadOnly = data.isRootFileSystem = data.isBrowsable = false;
    calls->table = QList<DarwinMount>{system, data};
    return calls;
}

std::shared_ptr<Storage> makePlatformStorage()
{
    return std::make_shared<MacStorage>(makeDarwinCalls());
}

std::shared_ptr<System> makePlatformSystem()
{
    return std::make_shared<MacSystem>(makeDarwinCalls());
}

// ditto exists on a Mac alone; GNU cp's -T copies onto the destination as ditto does, and what
// ditto would not have copied is taken out after it, so that the program's own evening out is
// what a Mac's copy goes through. A Mac's rm -x is GNU's --one-file-system.
QStringList platformCopyToolArguments(const QString &source, const QString &destination)
{
    return {QStringLiteral("/bin/sh"),
            QStringLiteral("-c"),
            QStringLiteral("cp -a -T -- \"$1\" \"$2\" && "
                           "find \"$2\" -mindepth 1 \\( -type s -o -type p -o -name '.nfs*' -o "
                           "-name '.afpDeleted*' \\) -prune -exec rm -rf -- {} +"),
            QStringLiteral("copy"),
            source,
            destination};
}

CopyToolHabits platformCopyToolHabits()
{
    return macCopyToolHabits();
}

QString platformTreeRemovalCommand()
{
    return QStringLiteral("/bin/rm -rf --one-file-system --");
}

namespace {

// Linux's O_PATH, which a Mac's headers do not have: a handle of a place, nothing opened.
constexpr int pathOnly = 010000000;

// A device number as this system's C library makes one of a maps line's major and minor.
quint64 deviceNumber(quint64 major, quint64 minor)
{
    return ((major & 0xfffff000) << 32) | ((major & 0xfff) << 8) | ((minor & 0xffffff00) << 12) |
           (minor & 0xff);
}

// libproc's answers, made from this machine's /proc, so that the Mac's reading of them looks at
// this machine's real processes. One look's, used by one thread.
class ProcessesOfThisMachine : public FakeDarwinCalls
{
public:
    std::optional<QList<qint32>> allProcessIds() override
    {
        DIR *const dir = ::opendir("/proc");
        if (!dir)
            return std::nullopt;
        QList<qint32> pids;
        while (const dirent *entry = ::readdir(dir)) {
            bool numeric = false;
            const qint32 pid = QByteArray(entry->d_name).toInt(&numeric);
            // A Mac has no kernel threads among its processes.
            if (numeric && !isKernelThread(pid))
                pids.append(pid);
        }
        ::closedir(dir);
        return pids;
    }

    QString processPath(qint32 pid) override
    {
        QString path =
            PathUtils::linkText(QStringLiteral("/proc/%1/exe").arg(pid)).value_or(QString());
        if (path.endsWith(QLatin1String(" (deleted)")))
            path.chop(10);
        return path;
    }

    QString processName(qint32 pid) override
    {
        return QString::fromUtf8(contentOf(pid, "comm").value_or(QByteArray()).trimmed());
    }

    DarwinAnswer<QList<qint32>> vnodeDescriptors(qint32 pid) override
    {
        DarwinAnswer<QList<qint32>> answer;
        DIR *const dir = ::opendir(procPath(pid, "fd").constData());
        if (!dir) {
            answer.error = darwinError(errno);
            return answer;
        }
        while (const dirent *entry = ::readdir(dir)) {
            bool numeric = false;
            const qint32 fd = QByteArray(entry->d_name).toInt(&numeric);
            struct stat info
            {};
            // Pipes, sockets and the kernel's own objects are no vnodes on a Mac.
            if (numeric &&
                ::stat(procPath(pid, "fd/" + QByteArray::number(fd)).constData(), &info) == 0 &&
                (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode) || S_ISCHR(info.st_mode) ||
                 S_ISBLK(info.st_mode)) &&
                info.st_ino != 0)
                answer.value.append(fd);
        }
        ::closedir(dir);
        return answer;
    }

    DarwinAnswer<DarwinOpenVnode> openVnode(qint32 pid, qint32 fd) override
    {
        DarwinAnswer<DarwinOpenVnode> answer;
        const QByteArray number = QByteArray::number(fd);
        struct stat info
        {};
        if (::stat(procPath(pid, "fd/" + number).constData(), &info) != 0) {
            answer.error = errno == ENOENT && isAlive(pid) ? EBADF : darwinError(errno);
            return answer;
        }
        const std::optional<QByteArray> fdinfo = contentOf(pid, "fdinfo/" + number);
        if (!fdinfo) {
            answer.error = errno == ENOENT && isAlive(pid) ? EBADF : darwinError(errno);
            return answer;
        }
        // fdinfo's "flags:\t0100002" (octal) as a Mac's fi_openflags: FREAD 1, FWRITE 2.
        const qsizetype at = fdinfo->indexOf("flags:");
        const int flags = at < 0 ? 0
                                 : fdinfo->mid(at + 6, fdinfo->indexOf('\n', at) - at - 6)
                                       .trimmed()
                                       .toInt(nullptr, 8);
        const int access = flags & O_ACCMODE;
        answer.value.openFlags = (flags & pathOnly) == pathOnly ? 0
                                 : access == O_RDONLY           ? 1
                                 : access == O_WRONLY           ? 2
                                                                : 3;
        answer.value.vnode = vnodeOf(info);
        return answer;
    }

    // The regions of maps, read once for each walk from its start. A mapping's device there is
    // the one of the file's superblock: stat's, but on a btrfs subvolume, which these builds do
    // not test on.
    DarwinAnswer<DarwinRegion> regionFrom(qint32 pid, quint64 address) override
    {
        if (address == 0 || pid != m_regionsOf) {
            m_regionsOf = pid;
            m_regions.clear();
            const std::optional<QByteArray> maps = contentOf(pid, "maps");
            if (!maps) {
                m_regionsOf = 0;
                return {{}, darwinError(errno)};
            }
            for (const QByteArray &line : maps->split('\n')) {
                const QList<QByteArray> fields = line.simplified().split(' ');
                if (fields.size() < 5)
                    continue;
                const QList<QByteArray> range = fields.at(0).split('-');
                const QList<QByteArray> device = fields.at(3).split(':');
                if (range.size() != 2 || device.size() != 2 || fields.at(1).size() != 4)
                    continue;
                DarwinRegion region;
                region.address = range.at(0).toULongLong(nullptr, 16);
                region.size = range.at(1).toULongLong(nullptr, 16) - region.address;
                const quint64 inode = fields.at(4).toULongLong();
                region.shareMode = fields.at(1).at(3) == 's' ? 4u /* SM_SHARED */
                                   : inode != 0              ? DarwinValues::copiedOnWrite
                                                             : DarwinValues::privateRegion;
                if (inode != 0)
                    region.vnode = DarwinVnode{deviceNumber(device.at(0).toULongLong(nullptr, 16),
                                                            device.at(1).toULongLong(nullptr, 16)),
                                               inode, 0};
                m_regions.append(region);
            }
        }
        for (const DarwinRegion &region : std::as_const(m_regions)) {
            if (region.address + region.size > address)
                return {region, 0};
        }
        return {{}, EINVAL};
    }

    DarwinAnswer<DarwinProcessFolders> processFolders(qint32 pid) override
    {
        DarwinAnswer<DarwinProcessFolders> answer;
        struct stat current
        {};
        struct stat root
        {};
        if (::stat(procPath(pid, "cwd").constData(), &current) != 0 ||
            ::stat(procPath(pid, "root").constData(), &root) != 0) {
            answer.error = darwinError(errno);
            return answer;
        }
        answer.value.current = vnodeOf(current);
        answer.value.root = vnodeOf(root);
        return answer;
    }

private:
    static QByteArray procPath(qint32 pid, const QByteArray &name)
    {
        return "/proc/" + QByteArray::number(pid) + '/' + name;
    }

    // What libproc answers where /proc answers `error`.
    static int darwinError(int error)
    {
        return error == EACCES ? EPERM : error == ENOENT ? ESRCH : error;
    }

    static bool isAlive(qint32 pid)
    {
        return ::access(procPath(pid, "stat").constData(), F_OK) == 0;
    }

    // Nothing when it cannot be read, errno saying why.
    static std::optional<QByteArray> contentOf(qint32 pid, const QByteArray &name)
    {
        const int fd = ::open(procPath(pid, name).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return std::nullopt;
        QByteArray content;
        char chunk[65536];
        ssize_t got = 0;
        while ((got = ::read(fd, chunk, sizeof chunk)) > 0)
            content.append(chunk, got);
        const int err = errno;
        ::close(fd);
        if (got < 0) {
            errno = err;
            return std::nullopt;
        }
        return content;
    }

    // Field 9 of its stat, past the name in parentheses: PF_KTHREAD.
    static bool isKernelThread(qint32 pid)
    {
        const QByteArray stat = contentOf(pid, "stat").value_or(QByteArray());
        const qsizetype named = stat.lastIndexOf(')');
        return named >= 0 && (stat.mid(named + 2).split(' ').value(6).toULong() & 0x00200000) != 0;
    }

    static DarwinVnode vnodeOf(const struct stat &info)
    {
        return {quint64(info.st_dev), quint64(info.st_ino), quint32(info.st_mode)};
    }

    qint32 m_regionsOf = 0;
    QList<DarwinRegion> m_regions;
};

} // namespace

std::optional<FileUsers> platformUsersOf(const TreeItems &items)
{
    return MacEjectTools(std::make_shared<ProcessesOfThisMachine>()).usersOf(items);
}

std::optional<QString> platformRemovalLock(const QString &path)
{
    return MacFileResources(makeDarwinCalls()).removalLock(path);
}

// A Mac names each start-up with a UUID; this system does the same.
QByteArray platformBootSession()
{
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}
