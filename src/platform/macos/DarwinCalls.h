#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>
#include <optional>

// One mounted file system as statfs(2) describes it on a Mac.
struct DarwinMount
{
    QString mountPoint;            // f_mntonname
    QString device;                // f_mntfromname: "/dev/disk4s1", "//user@server/share"
    QString fileSystemType;        // f_fstypename: "apfs", "msdos", "smbfs"
    bool isReadOnly = false;       // MNT_RDONLY
    bool isLocal = false;          // MNT_LOCAL: not a network file system
    bool isRootFileSystem = false; // MNT_ROOTFS
    bool isBrowsable = true;       // not MNT_DONTBROWSE: the desktop shows it
    qint64 totalBytes = 0;         // f_blocks * f_bsize
    qint64 freeBytes = 0;          // f_bavail * f_bsize: what an ordinary user may still write

    friend bool operator==(const DarwinMount &, const DarwinMount &) = default;
};

// The unified log's types the backend writes. Entries of type info stay in memory only unless
// the machine's logging is configured otherwise, so `log show` would not find them; default
// (notice) entries are kept in the store.
enum class DarwinLogType {
    notice, // OS_LOG_TYPE_DEFAULT
    error,  // OS_LOG_TYPE_ERROR
};

// A vnode as libproc tells it (vinfo_stat): what stat(2) of it would give as st_dev, st_ino and
// st_mode.
struct DarwinVnode
{
    quint64 device = 0; // widened as a Mac's dev_t is, so that it equals what stat gives
    quint64 inode = 0;
    quint32 mode = 0;

    friend bool operator==(const DarwinVnode &, const DarwinVnode &) = default;
};

// A process's open descriptor of a vnode (proc_pidfdinfo's PROC_PIDFDVNODEINFO).
struct DarwinOpenVnode
{
    quint32 openFlags = 0; // fi_openflags: FREAD, FWRITE and the open(2) flags kept
    DarwinVnode vnode;

    friend bool operator==(const DarwinOpenVnode &, const DarwinOpenVnode &) = default;
};

// One region of a process's memory (proc_pidinfo's PROC_PIDREGIONPATHINFO).
struct DarwinRegion
{
    quint64 address = 0;              // pri_address
    quint64 size = 0;                 // pri_size
    quint32 shareMode = 0;            // pri_share_mode: SM_COW, SM_SHARED …
    std::optional<DarwinVnode> vnode; // the file it maps, when it maps one

    friend bool operator==(const DarwinRegion &, const DarwinRegion &) = default;
};

// A process's working folder and root folder (proc_pidinfo's PROC_PIDVNODEPATHINFO), when it
// has them.
struct DarwinProcessFolders
{
    std::optional<DarwinVnode> current; // pvi_cdir
    std::optional<DarwinVnode> root;    // pvi_rdir: set by chroot(2) alone

    friend bool operator==(const DarwinProcessFolders &, const DarwinProcessFolders &) = default;
};

// What one libproc call answered, or the errno it failed with.
template<typename T>
struct DarwinAnswer
{
    T value{};
    int error = 0; // 0, or EPERM (not this user's to look into), ESRCH (ended) …
};

// Values of the Mac's headers that portable code decides by. DarwinCalls_apple.cpp holds them
// against the headers themselves.
namespace DarwinValues {
inline constexpr quint32 openedForWriting = 0x00000002; // FWRITE (sys/fcntl.h)
// pri_share_mode (sys/proc_info.h): no other process sees what these regions hold.
inline constexpr quint32 copiedOnWrite = 1;  // SM_COW
inline constexpr quint32 privateRegion = 2;  // SM_PRIVATE
inline constexpr quint32 emptyRegion = 3;    // SM_EMPTY
inline constexpr quint32 privateAliased = 6; // SM_PRIVATE_ALIASED
// st_flags (sys/stat.h) that keep even an administrator from removing an item.
inline constexpr quint32 userImmutable = 0x00000002;   // UF_IMMUTABLE
inline constexpr quint32 userAppend = 0x00000004;      // UF_APPEND
inline constexpr quint32 systemImmutable = 0x00020000; // SF_IMMUTABLE
inline constexpr quint32 systemAppend = 0x00040000;    // SF_APPEND
inline constexpr quint32 restricted = 0x00080000;      // SF_RESTRICTED
inline constexpr quint32 noUnlink = 0x00100000;        // SF_NOUNLINK
} // namespace DarwinValues

// The few calls that exist on Darwin alone. Everything the macOS backend decides is made
// from their answers in portable code, so that tests can put a fake here. Callable from any
// thread.
class DarwinCalls
{
public:
    virtual ~DarwinCalls() = default;

    // getfsstat(2): every mounted file system, in the kernel's order; nothing on failure.
    [[nodiscard]] virtual std::optional<QList<DarwinMount>> mounts() = 0;
    // statfs(2) of the file system holding `path` (links followed); nothing on failure.
    [[nodiscard]] virtual std::optional<DarwinMount> mountHolding(const QString &path) = 0;
    // proc_listpids(2) for the current user's processes.
    [[nodiscard]] virtual QList<qint32> userProcessIds() = 0;
    // proc_pidpath(2): the process's executable; empty when it cannot be read.
    [[nodiscard]] virtual QString processPath(qint32 pid) = 0;
    // proc_listallpids(3): every process of the machine; nothing when they cannot be listed.
    [[nodiscard]] virtual std::optional<QList<qint32>> allProcessIds() = 0;
    // proc_name(3): the name the process gives itself; empty when it cannot be read.
    [[nodiscard]] virtual QString processName(qint32 pid) = 0;
    // proc_pidinfo(PROC_PIDLISTFDS): the process's descriptors of vnodes (PROX_FDTYPE_VNODE).
    [[nodiscard]] virtual DarwinAnswer<QList<qint32>> vnodeDescriptors(qint32 pid) = 0;
    // proc_pidfdinfo(PROC_PIDFDVNODEINFO) of one of them; EBADF once it is closed.
    [[nodiscard]] virtual DarwinAnswer<DarwinOpenVnode> openVnode(qint32 pid, qint32 fd) = 0;
    // proc_pidinfo(PROC_PIDREGIONPATHINFO): the region at `address`, else the first one after it;
    // EINVAL when none lies there or after it.
    [[nodiscard]] virtual DarwinAnswer<DarwinRegion> regionFrom(qint32 pid, quint64 address) = 0;
    // proc_pidinfo(PROC_PIDVNODEPATHINFO).
    [[nodiscard]] virtual DarwinAnswer<DarwinProcessFolders> processFolders(qint32 pid) = 0;
    // The UF_HIDDEN flag of the item itself (links not followed).
    [[nodiscard]] virtual bool hasHiddenFlag(const QString &path) = 0;
    // lstat(2)'s st_flags of the item itself (chflags(2)'s flags); nothing when it cannot be read.
    [[nodiscard]] virtual std::optional<quint32> fileFlags(const QString &path) = 0;
    // Reads the bookmark file at `path` and resolves it without interaction or mounting.
    [[nodiscard]] virtual std::optional<QString> resolveBookmarkFile(const QString &path) = 0;
    // Makes bookmark data of `targetPath` fit for a bookmark file and writes it at
    // `aliasPath`; false when either step fails.
    [[nodiscard]] virtual bool writeBookmarkFile(const QString &targetPath,
                                                 const QString &aliasPath) = 0;
    // One unified-log entry of `type` as a single public string.
    virtual void log(const QByteArray &subsystem, const QByteArray &category, DarwinLogType type,
                     const QByteArray &message) = 0;

    // fsync(2) of the open file or folder `fd`: what it holds in memory written to the drive,
    // with that write's own result. 0 or an errno.
    [[nodiscard]] virtual int syncFile(int fd) = 0;
    // fcntl(F_FULLFSYNC) on `fd`: as syncFile, then the drive moves what its own cache holds
    // onto the medium. 0 or an errno (ENOTSUP and the like where the file system cannot).
    [[nodiscard]] virtual int syncDriveCache(int fd) = 0;
    // Drops the cached pages of `length` bytes from `offset` of the open, clean file `fd`, so
    // that reads fetch them from the drive again (see invalidateCachedRange). 0 or an errno.
    [[nodiscard]] virtual int discardCachedPages(int fd, qint64 offset, qint64 length) = 0;
    // fcntl(F_NOCACHE, 1): what is read through `fd` from now on is not kept in memory.
    // 0 or an errno.
    [[nodiscard]] virtual int readUncached(int fd) = 0;
    // fcntl(F_RDADVISE): asks for `length` bytes from `offset` of `fd` to be read in ahead, as
    // the system no longer does by itself once F_NOCACHE is set. 0 or an errno.
    [[nodiscard]] virtual int adviseRead(int fd, qint64 offset, int length) = 0;
    // The UF_COMPRESSED flag of the open file `fd`: its bytes are stored apart, in its resource
    // fork or, when small, in an extended attribute, and reads decompress them.
    [[nodiscard]] virtual bool isCompressed(int fd) = 0;
    // openat(2), read-only, of the resource fork of the file `name` in the open folder `folder`
    // ("<name>/..namedfork/rsrc"). -1 with errno set when it cannot be opened; ENOENT when the
    // file has none.
    [[nodiscard]] virtual int openResourceFork(int folder, const QByteArray &name) = 0;
    // Gatekeeper runs a quarantined application from a read-only copy of its folder in a
    // temporary place (".../AppTranslocation/<id>/d/X.app"). For `path` inside such a copy,
    // the path it stands for where the application was started (the Security framework's
    // SecTranslocateIsTranslocatedURL and SecTranslocateCreateOriginalPathForURL); nothing for
    // any other path, or when the system cannot tell.
    [[nodiscard]] virtual std::optional<QString> translocatedOriginal(const QString &path) = 0;
};

// The portable half of discardCachedPages: maps the range MAP_SHARED and invalidates it with
// msync(MS_INVALIDATE). 0 or an errno.
[[nodiscard]] int invalidateCachedRange(int fd, qint64 offset, qint64 length);

// The real calls; defined only in the build for Apple systems.
[[nodiscard]] std::shared_ptr<DarwinCalls> makeDarwinCalls();
