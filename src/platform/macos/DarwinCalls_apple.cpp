// The calls that exist on Darwin alone, and the wiring of the Mac backend. Built only for
// Apple systems; every decision made from these answers lives in the portable files. Those
// made through the system's frameworks are in DarwinFrameworks_apple.cpp.

#include "platform/macos/DarwinCalls.h"
#include "platform/macos/DarwinFrameworks.h"
#include "platform/macos/MacCopyTool.h"
#include "platform/macos/MacEjectTools.h"
#include "platform/macos/MacFileResources.h"
#include "platform/macos/MacSystem.h"

#include <QFile>
#include <memory>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <libproc.h>
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <unistd.h>

namespace {

static_assert(DarwinValues::openedForWriting == FWRITE);
static_assert(DarwinValues::userImmutable == UF_IMMUTABLE &&
              DarwinValues::userAppend == UF_APPEND &&
              DarwinValues::systemImmutable == SF_IMMUTABLE &&
              DarwinValues::systemAppend == SF_APPEND &&
              DarwinValues::restricted == SF_RESTRICTED && DarwinValues::noUnlink == SF_NOUNLINK);
static_assert(DarwinValues::copiedOnWrite == SM_COW && DarwinValues::privateRegion == SM_PRIVATE &&
              DarwinValues::emptyRegion == SM_EMPTY &&
              DarwinValues::privateAliased == SM_PRIVATE_ALIASED);

// A Mac's dev_t is signed: widened through it, as stat's st_dev is by the walk of a tree.
DarwinVnode toVnode(const struct vinfo_stat &stat)
{
    return {quint64(dev_t(stat.vst_dev)), quint64(stat.vst_ino), quint32(stat.vst_mode)};
}

// A vnode the kernel filled in; one it left zeroed is none.
std::optional<DarwinVnode> vnodeIn(const struct vnode_info_path &info)
{
    if (info.vip_vi.vi_stat.vst_ino == 0)
        return std::nullopt;
    return toVnode(info.vip_vi.vi_stat);
}

// proc_pidinfo and proc_pidfdinfo answer 0 with errno set when they fail, and the bytes they
// filled otherwise; a short answer is no answer.
int failureOf(int filled, int size)
{
    if (filled <= 0)
        return errno != 0 ? errno : ESRCH;
    return filled < size ? EIO : 0;
}

DarwinMount toMount(const struct statfs &fs)
{
    DarwinMount mount;
    mount.mountPoint = QFile::decodeName(fs.f_mntonname);
    mount.device = QFile::decodeName(fs.f_mntfromname);
    mount.fileSystemType = QString::fromLatin1(fs.f_fstypename);
    mount.isReadOnly = (fs.f_flags & MNT_RDONLY) != 0;
    mount.isLocal = (fs.f_flags & MNT_LOCAL) != 0;
    mount.isRootFileSystem = (fs.f_flags & MNT_ROOTFS) != 0;
    mount.isBrowsable = (fs.f_flags & MNT_DONTBROWSE) == 0;
    mount.totalBytes = qint64(fs.f_blocks) * qint64(fs.f_bsize);
    mount.freeBytes = qint64(fs.f_bavail) * qint64(fs.f_bsize);
    return mount;
}

class AppleDarwinCalls : public DarwinCalls
{
public:
    std::optional<QList<DarwinMount>> mounts() override
    {
        // getfsstat rather than getmntinfo, whose buffer is shared by every thread.
        const int count = ::getfsstat(nullptr, 0, MNT_NOWAIT);
        if (count < 0)
            return std::nullopt;
        std::vector<struct statfs> table(size_t(count) + 16); // room for new mounts
        const int filled =
            ::getfsstat(table.data(), int(table.size() * sizeof(struct statfs)), MNT_NOWAIT);
        if (filled < 0)
            return std::nullopt;
        QList<DarwinMount> result;
        for (size_t i = 0; i < size_t(filled) && i < table.size(); ++i)
            result.append(toMount(table[i]));
        return result;
    }

    std::optional<DarwinMount> mountHolding(const QString &path) override
    {
        struct statfs fs
        {};
        if (path.isEmpty() || ::statfs(QFile::encodeName(path).constData(), &fs) != 0)
            return std::nullopt;
        return toMount(fs);
    }

    QList<qint32> userProcessIds() override
    {
        const uid_t uid = ::getuid();
        const int bytes = ::proc_listpids(PROC_UID_ONLY, uid, nullptr, 0);
        if (bytes <= 0)
            return {};
        std::vector<pid_t> pids(size_t(bytes) / sizeof(pid_t) + 64); // room for new ones
        const int filled =
            ::proc_listpids(PROC_UID_ONLY, uid, pids.data(), int(pids.size() * sizeof(pid_t)));
        QList<qint32> result;
        for (size_t i = 0; filled > 0 && i < size_t(filled) / sizeof(pid_t); ++i) {
            if (pids[i] > 0)
                result.append(qint32(pids[i]));
        }
        return result;
    }

    QString processPath(qint32 pid) override
    {
        char buffer[PROC_PIDPATHINFO_MAXSIZE];
        const int length = ::proc_pidpath(pid, buffer, uint32_t(sizeof buffer));
        if (length <= 0)
            return {};
        return QFile::decodeName(QByteArray(buffer, length));
    }

    std::optional<QList<qint32>> allProcessIds() override
    {
        const int count = ::proc_listallpids(nullptr, 0);
        if (count <= 0)
            return std::nullopt;
        std::vector<pid_t> pids(size_t(count) + 64); // room for new ones
        const int filled = ::proc_listallpids(pids.data(), int(pids.size() * sizeof(pid_t)));
        if (filled <= 0)
            return std::nullopt;
        QList<qint32> result;
        for (size_t i = 0; i < size_t(filled) && i < pids.size(); ++i)
            result.append(qint32(pids[i]));
        return result;
    }

    QString processName(qint32 pid) override
    {
        char buffer[2 * MAXCOMLEN + 1] = {};
        const int length = ::proc_name(pid, buffer, uint32_t(sizeof buffer));
        return length > 0 ? QString::fromUtf8(buffer, length) : QString();
    }

    DarwinAnswer<QList<qint32>> vnodeDescriptors(qint32 pid) override
    {
        DarwinAnswer<QList<qint32>> answer;
        std::vector<struct proc_fdinfo> fds;
        for (int room = 64;;) {
            errno = 0;
            const int needed = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, nullptr, 0);
            if (needed <= 0) {
                answer.error = errno; // 0: a process without a descriptor table
                return answer;
            }
            fds.resize(size_t(needed) / sizeof(struct proc_fdinfo) + size_t(room));
            const int bytes = int(fds.size() * sizeof(struct proc_fdinfo));
            errno = 0;
            const int filled = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, fds.data(), bytes);
            if (filled <= 0) {
                answer.error = errno;
                return answer;
            }
            // A full buffer may have left some out: descriptors opened meanwhile.
            if (filled < bytes) {
                fds.resize(size_t(filled) / sizeof(struct proc_fdinfo));
                break;
            }
            room *= 4;
        }
        for (const struct proc_fdinfo &fd : fds) {
            if (fd.proc_fdtype == PROX_FDTYPE_VNODE)
                answer.value.append(qint32(fd.proc_fd));
        }
        return answer;
    }

    DarwinAnswer<DarwinOpenVnode> openVnode(qint32 pid, qint32 fd) override
    {
        struct vnode_fdinfo info
        {};
        errno = 0;
        const int filled = ::proc_pidfdinfo(pid, fd, PROC_PIDFDVNODEINFO, &info, int(sizeof info));
        DarwinAnswer<DarwinOpenVnode> answer;
        answer.error = failureOf(filled, int(sizeof info));
        if (answer.error == 0)
            answer.value = {info.pfi.fi_openflags, toVnode(info.pvi.vi_stat)};
        return answer;
    }

    DarwinAnswer<DarwinRegion> regionFrom(qint32 pid, quint64 address) override
    {
        struct proc_regionwithpathinfo info
        {};
        errno = 0;
        const int filled =
            ::proc_pidinfo(pid, PROC_PIDREGIONPATHINFO, address, &info, int(sizeof info));
        DarwinAnswer<DarwinRegion> answer;
        answer.error = failureOf(filled, int(sizeof info));
        if (answer.error == 0)
            answer.value = {info.prp_prinfo.pri_address, info.prp_prinfo.pri_size,
                            info.prp_prinfo.pri_share_mode, vnodeIn(info.prp_vip)};
        return answer;
    }

    DarwinAnswer<DarwinProcessFolders> processFolders(qint32 pid) override
    {
        struct proc_vnodepathinfo info
        {};
        errno = 0;
        const int filled = ::proc_pidinfo(pid, PROC_PIDVNODEPATHINFO, 0, &info, int(sizeof info));
        DarwinAnswer<DarwinProcessFolders> answer;
        answer.error = failureOf(filled, int(sizeof info));
        if (answer.error == 0)
            answer.value = {vnodeIn(info.pvi_cdir), vnodeIn(info.pvi_rdir)};
        return answer;
    }

    bool hasHiddenFlag(const QString &path) override
    {
        struct stat info
        {};
        return ::lstat(QFile::encodeName(path).constData(), &info) == 0 &&
               (info.st_flags & UF_HIDDEN) != 0;
    }

    std::optional<quint32> fileFlags(const QString &path) override
    {
        struct stat info
        {};
        if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
            return std::nullopt;
        return quint32(info.st_flags);
    }

    std::optional<QString> resolveBookmarkFile(const QString &path) override
    {
        return m_frameworks.resolveBookmarkFile(path);
    }

    bool writeBookmarkFile(const QString &targetPath, const QString &aliasPath) override
    {
        return m_frameworks.writeBookmarkFile(targetPath, aliasPath);
    }

    void log(const QByteArray &subsystem, const QByteArray &category, DarwinLogType type,
             const QByteArray &message) override
    {
        m_frameworks.log(subsystem, category, type, message);
    }

    // Apple's fsync(2): "causes all modified data and attributes of fildes to be moved to a
    // permanent storage device"; it reports that write's failure.
    int syncFile(int fd) override { return ::fsync(fd) == 0 ? 0 : errno; }

    // Apple's fcntl(2), F_FULLFSYNC: "Does the same thing as fsync(2) then asks the drive to
    // flush all buffered data to the permanent storage device".
    int syncDriveCache(int fd) override { return ::fcntl(fd, F_FULLFSYNC) == 0 ? 0 : errno; }

    // Apple's msync(2), MS_INVALIDATE: "Invalidate all cached data", on a shared mapping of
    // the file, as fio's discard_pages does on macOS (helpers.c).
    int discardCachedPages(int fd, qint64 offset, qint64 length) override
    {
        return invalidateCachedRange(fd, offset, length);
    }

    // Apple's fcntl(2), F_NOCACHE: "Turns data caching off/on".
    int readUncached(int fd) override { return ::fcntl(fd, F_NOCACHE, 1) == -1 ? errno : 0; }

    // Apple's fcntl(2), F_RDADVISE: "Issue an advisory read async with no copy to user".
    int adviseRead(int fd, qint64 offset, int length) override
    {
        struct radvisory advice
        {};
        advice.ra_offset = off_t(offset);
        advice.ra_count = length;
        return ::fcntl(fd, F_RDADVISE, &advice) == -1 ? errno : 0;
    }

    bool isCompressed(int fd) override
    {
        struct stat info
        {};
        return ::fstat(fd, &info) == 0 && (info.st_flags & UF_COMPRESSED) != 0;
    }

    // A file without a resource fork answers ENOATTR (sys/errno.h).
    int openResourceFork(int folder, const QByteArray &name) override
    {
        const QByteArray fork = name + "/..namedfork/rsrc";
        const int fd = ::openat(folder, fork.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOATTR)
            errno = ENOENT;
        return fd;
    }

    std::optional<QString> translocatedOriginal(const QString &path) override
    {
        return m_frameworks.translocatedOriginal(path);
    }

private:
    DarwinFrameworks m_frameworks;
};

} // namespace

std::shared_ptr<DarwinCalls> makeDarwinCalls()
{
    return std::make_shared<AppleDarwinCalls>();
}

std::shared_ptr<System> makePlatformSystem()
{
    return std::make_shared<MacSystem>(makeDarwinCalls());
}

QStringList platformCopyToolArguments(const QString &source, const QString &destination)
{
    return macCopyToolArguments(source, destination);
}

CopyToolHabits platformCopyToolHabits()
{
    return macCopyToolHabits();
}

QString platformTreeRemovalCommand()
{
    return macTreeRemovalCommand();
}

std::optional<FileUsers> platformUsersOf(const TreeItems &items)
{
    return MacEjectTools(makeDarwinCalls()).usersOf(items);
}

std::optional<QString> platformRemovalLock(const QString &path)
{
    return MacFileResources(makeDarwinCalls()).removalLock(path);
}

QByteArray platformBootSession()
{
    char uuid[64] = {};
    size_t size = sizeof uuid - 1;
    if (::sysctlbyname("kern.bootsessionuuid", uuid, &size, nullptr, 0) != 0)
        return {};
    return QByteArray(uuid).trimmed();
}

std::shared_ptr<Storage> makePlatformStorage()
{
    return std::make_shared<MacStorage>(makeDarwinCalls());
}
