#include "platform/linux/ProcessFiles.h"

#include "base/PathUtils.h"
#include "base/UniqueFd.h"
#include "platform/linux/MountTable.h"

#include <QFile>
#include <QSet>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace ProcessFiles {

namespace {

// /proc/<pid>/stat's flags of a kernel thread (include/linux/sched.h).
constexpr unsigned long kernelThread = 0x00200000;

// The identity the kernel gives what `name` of `folder` leads to, its link followed (a process's
// magic links lead to the very file it holds, whatever its name now). Cached attributes do:
// device, inode and type never change, and a drive that stopped answering must not stop the look.
std::optional<struct statx> identityAt(int folder, const char *name)
{
    struct statx info
    {};
    if (::statx(folder, name, AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &info) != 0)
        return std::nullopt;
    return info;
}

FileIdentity identityOf(const struct statx &info)
{
    return {quint64(makedev(info.stx_dev_major, info.stx_dev_minor)), quint64(info.stx_ino)};
}

// The whole content of `name` in `folder`; nothing when it cannot be read, errno saying why.
std::optional<QByteArray> contentAt(int folder, const char *name, QByteArray &buffer)
{
    const UniqueFd file(::openat(folder, name, O_RDONLY | O_CLOEXEC));
    if (!file.valid())
        return std::nullopt;
    qsizetype used = 0;
    for (;;) {
        if (buffer.size() - used < 4096)
            buffer.resize(std::max<qsizetype>(buffer.size() * 2, 16384));
        const ssize_t got = ::read(file.get(), buffer.data() + used, size_t(buffer.size() - used));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            return QByteArray(buffer.constData(), used);
        used += got;
    }
}

// The names in the open folder `folder` (closed here); nothing when it cannot be listed.
std::optional<std::vector<QByteArray>> namesIn(UniqueFd folder)
{
    DIR *const dir = ::fdopendir(folder.get());
    if (!dir)
        return std::nullopt;
    (void)folder.release();
    std::vector<QByteArray> names;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

// The items asked about, and the other devices a process's maps may name them by. Maps give the
// device of the inode's superblock, which stat does not on a btrfs subvolume (each has a device
// of its own); an overlay's maps name the file of the layer beneath, on that layer's device.
class Items
{
public:
    explicit Items(const TreeItems &items)
        : m_items(items)
    {
        QHash<quint64, QString> someItemOf;
        for (auto it = items.paths.cbegin(); it != items.paths.cend(); ++it)
            someItemOf.insert(it.key().device, it.value());
        const std::optional<QList<MountEntry>> table =
            someItemOf.isEmpty() ? std::nullopt : MountTable::read();
        for (auto it = someItemOf.cbegin(); it != someItemOf.cend(); ++it) {
            const std::optional<MountEntry> mount =
                table ? mountOf(*table, it.value(), it.key()) : std::nullopt;
            if (!mount)
                continue;
            if (mount->fileSystemType == QLatin1String("overlay"))
                m_anyDevice.insert(it.key());
            else if (const quint64 device = quint64(makedev(mount->major, mount->minor));
                     device != it.key())
                m_mountDevice.insert(it.key(), device);
        }
        for (auto it = items.paths.cbegin(); it != items.paths.cend(); ++it) {
            const FileIdentity identity = it.key();
            if (m_anyDevice.contains(identity.device))
                m_byInode.insert(identity.inode, identity);
            else if (const auto device = m_mountDevice.constFind(identity.device);
                     device != m_mountDevice.cend())
                m_byMountDevice.insert({*device, identity.inode}, identity);
        }
    }

    [[nodiscard]] const QString *file(const FileIdentity &identity) const
    {
        const auto found = m_items.paths.constFind(identity);
        return found == m_items.paths.cend() ? nullptr : &*found;
    }

    [[nodiscard]] const QString *mapped(const FileIdentity &identity) const
    {
        if (const QString *direct = file(identity))
            return direct;
        if (const auto found = m_byMountDevice.constFind(identity); found != m_byMountDevice.cend())
            return file(*found);
        // Another file of that inode number mapped shared from another file system is taken for
        // it: a use too many is a refusal, one too few a loss.
        if (const auto found = m_byInode.constFind(identity.inode); found != m_byInode.cend())
            return file(*found);
        return nullptr;
    }

private:
    // The mount holding `path`, when it still has `device`.
    static std::optional<MountEntry> mountOf(const QList<MountEntry> &table, const QString &path,
                                             quint64 device)
    {
        struct statx info
        {};
        if (::statx(AT_FDCWD, QFile::encodeName(path).constData(),
                    AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC, STATX_MNT_ID, &info) != 0 ||
            (info.stx_mask & STATX_MNT_ID) == 0 ||
            quint64(makedev(info.stx_dev_major, info.stx_dev_minor)) != device)
            return std::nullopt;
        for (const MountEntry &entry : table) {
            if (entry.id >= 0 && quint64(entry.id) == info.stx_mnt_id)
                return entry;
        }
        return std::nullopt;
    }

    const TreeItems &m_items;
    QHash<quint64, quint64> m_mountDevice; // stat's device -> the mount table's
    QSet<quint64> m_anyDevice;             // stat's devices of overlays
    QHash<FileIdentity, FileIdentity> m_byMountDevice;
    QHash<quint64, FileIdentity> m_byInode;
};

// What a maps line "start-end perms offset major:minor inode path" maps, when it is shared
// ("rw-s", "r--s": the protection can be changed later).
std::optional<FileIdentity> sharedMapping(QByteArrayView line)
{
    qsizetype at = line.indexOf(' ');
    if (at < 0 || line.size() < at + 5 || line.at(at + 4) != 's')
        return std::nullopt;
    const auto field = [&] {
        while (at < line.size() && line.at(at) == ' ')
            ++at;
        const qsizetype start = at;
        while (at < line.size() && line.at(at) != ' ')
            ++at;
        return line.sliced(start, at - start);
    };
    (void)field(); // perms
    (void)field(); // offset
    const QByteArrayView device = field();
    const QByteArrayView inode = field();
    const qsizetype colon = device.indexOf(':');
    bool majorOk = false;
    bool minorOk = false;
    bool inodeOk = false;
    const uint major = colon < 0 ? 0 : device.first(colon).toUInt(&majorOk, 16);
    const uint minor = colon < 0 ? 0 : device.sliced(colon + 1).toUInt(&minorOk, 16);
    const quint64 number = inode.toULongLong(&inodeOk);
    if (!majorOk || !minorOk || !inodeOk || number == 0)
        return std::nullopt;
    return FileIdentity{quint64(makedev(major, minor)), number};
}

// The flags a descriptor was opened with, from its fdinfo ("flags:\t0100002", octal).
std::optional<int> openFlags(const QByteArray &fdinfo)
{
    const qsizetype at = fdinfo.indexOf("flags:");
    if (at < 0)
        return std::nullopt;
    qsizetype end = fdinfo.indexOf('\n', at);
    if (end < 0)
        end = fdinfo.size();
    bool ok = false;
    const int flags = fdinfo.mid(at + 6, end - at - 6).trimmed().toInt(&ok, 8);
    return ok ? std::optional(flags) : std::nullopt;
}

// One process's look. Every call is made relative to its /proc folder, which keeps naming that
// process (or none) however soon its number is given to another.
class Process
{
public:
    Process(UniqueFd folder, qint32 pid, const Items &items, QByteArray &buffer)
        : m_folder(std::move(folder))
        , m_pid(pid)
        , m_items(items)
        , m_buffer(buffer)
    {}

    // Its uses, or why there are none to tell: it cannot be looked into, or it is no process of
    // anyone's (a kernel thread, or one that ended).
    ProcessLook look()
    {
        UniqueFd descriptors(::openat(m_folder.get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!descriptors.valid())
            return errno == ENOENT || errno == ESRCH || isKernelThread() ? ProcessLook::passedOver
                                                                         : ProcessLook::uninspected;
        const int fds = descriptors.get();
        if (const std::optional<struct statx> exe = identityAt(m_folder.get(), "exe")) {
            if (const QString *file = m_items.file(identityOf(*exe)))
                note(FileUse::Kind::runs, *file);
        }
        for (const char *folder : {"cwd", "root"}) {
            if (const std::optional<struct statx> place = identityAt(m_folder.get(), folder)) {
                if (const QString *file = m_items.file(identityOf(*place)))
                    note(FileUse::Kind::worksIn, *file);
            }
        }
        std::optional<std::vector<QByteArray>> names;
        {
            // Listed whole before anything is looked up through it.
            UniqueFd listing(::fcntl(fds, F_DUPFD_CLOEXEC, 0));
            names = listing.valid() ? namesIn(std::move(listing)) : std::nullopt;
        }
        if (!names)
            return errno == ENOENT || errno == ESRCH ? ProcessLook::passedOver
                                                     : ProcessLook::uninspected;
        for (const QByteArray &fd : *names) {
            const std::optional<struct statx> held = identityAt(fds, fd.constData());
            if (!held)
                continue; // closed meanwhile
            const QString *file = m_items.file(identityOf(*held));
            if (!file)
                continue;
            if (S_ISDIR(held->stx_mode))
                note(FileUse::Kind::worksIn, *file);
            else if (opensForWriting(fds, fd))
                note(FileUse::Kind::writes, *file);
        }
        const std::optional<QByteArray> maps = contentAt(m_folder.get(), "maps", m_buffer);
        if (!maps)
            return errno == ENOENT || errno == ESRCH ? ProcessLook::passedOver
                                                     : ProcessLook::uninspected;
        for (qsizetype start = 0; start < maps->size();) {
            qsizetype end = maps->indexOf('\n', start);
            if (end < 0)
                end = maps->size();
            const std::optional<FileIdentity> mapping =
                sharedMapping(QByteArrayView(*maps).sliced(start, end - start));
            start = end + 1;
            if (!mapping)
                continue;
            if (const QString *file = m_items.mapped(*mapping))
                note(FileUse::Kind::maps, *file);
        }
        return ProcessLook::looked;
    }

    [[nodiscard]] const QList<FileUse> &uses() const { return m_uses; }

    // Its executable's name, else the one it gives itself.
    [[nodiscard]] QString name() const
    {
        QByteArray link(4096, Qt::Uninitialized);
        const ssize_t length =
            ::readlinkat(m_folder.get(), "exe", link.data(), size_t(link.size()));
        // A program replaced since it started is named as it names itself.
        if (length > 0 && length < link.size() &&
            !QByteArrayView(link.constData(), length).endsWith(" (deleted)"))
            return PathUtils::lastComponent(QFile::decodeName(link.first(length)));
        return givenName();
    }

    [[nodiscard]] QString givenName() const
    {
        const std::optional<QByteArray> comm = contentAt(m_folder.get(), "comm", m_buffer);
        return comm ? QString::fromUtf8(comm->trimmed()) : QString();
    }

private:
    void note(FileUse::Kind kind, const QString &file)
    {
        const FileUse use{m_pid, QString(), kind, file};
        if (!m_uses.contains(use))
            m_uses.append(use);
    }

    // Whether the descriptor `fd` in the open folder `fds` was opened for writing. Read only for
    // a descriptor of an item: most are not.
    [[nodiscard]] bool opensForWriting(int fds, const QByteArray &fd) const
    {
        const QByteArray info = "fdinfo/" + fd;
        if (const std::optional<QByteArray> fdinfo =
                contentAt(m_folder.get(), info.constData(), m_buffer)) {
            if (const std::optional<int> flags = openFlags(*fdinfo))
                return (*flags & O_PATH) != O_PATH && (*flags & O_ACCMODE) != O_RDONLY;
        }
        // The link's own mode shows how it was opened: the owner may write through it when it
        // was opened for writing.
        struct stat link
        {};
        return ::fstatat(fds, fd.constData(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
               (link.st_mode & S_IWUSR) != 0;
    }

    // Field 9 of its stat, after the name in parentheses (which may hold anything).
    [[nodiscard]] bool isKernelThread() const
    {
        const int err = errno;
        const std::optional<QByteArray> stat = contentAt(m_folder.get(), "stat", m_buffer);
        errno = err;
        const qsizetype named = stat ? stat->lastIndexOf(')') : -1;
        if (named < 0)
            return false;
        const QList<QByteArray> fields = stat->mid(named + 2).split(' ');
        bool ok = false;
        const unsigned long flags = fields.value(6).toULong(&ok);
        return ok && (flags & kernelThread) != 0;
    }

    UniqueFd m_folder;
    qint32 m_pid;
    const Items &m_items;
    QByteArray &m_buffer;
    QList<FileUse> m_uses;
};

} // namespace

std::optional<FileUsers> usersOf(const TreeItems &items, qint32 ownPid, const QString &proc)
{
    UniqueFd base(::open(QFile::encodeName(proc).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int procFd = base.get();
    std::optional<std::vector<QByteArray>> pids;
    if (base.valid()) {
        UniqueFd listing(::fcntl(procFd, F_DUPFD_CLOEXEC, 0));
        pids = listing.valid() ? namesIn(std::move(listing)) : std::nullopt;
    }
    if (!pids)
        return std::nullopt;
    const Items within(items);
    QByteArray buffer;
    FileUsers users;
    for (const QByteArray &pidText : *pids) {
        bool numeric = false;
        const qint32 pid = pidText.toInt(&numeric);
        if (!numeric || pid == ownPid)
            continue;
        UniqueFd folder(::openat(procFd, pidText.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.valid())
            continue; // ended
        Process process(std::move(folder), pid, within, buffer);
        const ProcessLook outcome = process.look();
        addProcessLook(
            users, pid, outcome, process.uses(), [&] { return process.name(); },
            [&] { return process.givenName(); });
    }
    return users;
}

} // namespace ProcessFiles
