#include "platform/macos/MacProcessFiles.h"

#include "base/PathUtils.h"

#include <QFile>
#include <cerrno>
#include <sys/stat.h>

namespace MacProcessFiles {

namespace {

// Whether a region of that share mode holds what the file holds for others to see, or can come
// to: every mode but those no other process sees (an unknown one counts).
bool isShared(quint32 shareMode)
{
    using namespace DarwinValues;
    return shareMode != copiedOnWrite && shareMode != privateRegion && shareMode != emptyRegion &&
           shareMode != privateAliased;
}

class Process
{
public:
    Process(DarwinCalls &darwin, qint32 pid, const TreeItems &items)
        : m_darwin(darwin)
        , m_pid(pid)
        , m_items(items)
    {}

    ProcessLook look()
    {
        const DarwinAnswer<QList<qint32>> descriptors = m_darwin.vnodeDescriptors(m_pid);
        if (descriptors.error)
            return failed(descriptors.error);
        lookAtExecutable();
        const DarwinAnswer<DarwinProcessFolders> folders = m_darwin.processFolders(m_pid);
        if (folders.error)
            return failed(folders.error);
        for (const std::optional<DarwinVnode> &folder :
             {folders.value.current, folders.value.root}) {
            if (const QString *file = folder ? fileOf(*folder) : nullptr)
                note(FileUse::Kind::worksIn, *file);
        }
        for (const qint32 fd : descriptors.value) {
            const DarwinAnswer<DarwinOpenVnode> open = m_darwin.openVnode(m_pid, fd);
            if (open.error == EBADF)
                continue; // closed meanwhile
            if (open.error)
                return failed(open.error);
            const QString *file = fileOf(open.value.vnode);
            if (!file)
                continue;
            if ((open.value.vnode.mode & S_IFMT) == S_IFDIR)
                note(FileUse::Kind::worksIn, *file);
            else if ((open.value.openFlags & DarwinValues::openedForWriting) != 0)
                note(FileUse::Kind::writes, *file);
        }
        for (quint64 address = 0;;) {
            const DarwinAnswer<DarwinRegion> region = m_darwin.regionFrom(m_pid, address);
            if (region.error == EINVAL)
                break; // past the last one
            if (region.error)
                return failed(region.error);
            const DarwinRegion &found = region.value;
            if (const QString *file =
                    found.vnode && isShared(found.shareMode) ? fileOf(*found.vnode) : nullptr)
                note(FileUse::Kind::maps, *file);
            const quint64 next = found.address + found.size;
            if (next <= address)
                break;
            address = next;
        }
        return ProcessLook::looked;
    }

    [[nodiscard]] const QList<FileUse> &uses() const { return m_uses; }

    // Its executable's name, else the one it gives itself.
    [[nodiscard]] QString name() const
    {
        const QString path = m_darwin.processPath(m_pid);
        return path.isEmpty() ? m_darwin.processName(m_pid) : PathUtils::lastComponent(path);
    }

private:
    // A process may not be looked into, or is gone.
    static ProcessLook failed(int error)
    {
        return error == ESRCH ? ProcessLook::passedOver : ProcessLook::uninspected;
    }

    // libproc gives the executable's path alone; its identity is the file's there now.
    void lookAtExecutable()
    {
        const QString path = m_darwin.processPath(m_pid);
        struct stat info
        {};
        if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0)
            return;
        if (const QString *file = fileOf({quint64(info.st_dev), quint64(info.st_ino), 0}))
            note(FileUse::Kind::runs, *file);
    }

    [[nodiscard]] const QString *fileOf(const DarwinVnode &vnode) const
    {
        const auto found = m_items.paths.constFind({vnode.device, vnode.inode});
        return found == m_items.paths.cend() ? nullptr : &*found;
    }

    void note(FileUse::Kind kind, const QString &file)
    {
        const FileUse use{m_pid, QString(), kind, file};
        if (!m_uses.contains(use))
            m_uses.append(use);
    }

    DarwinCalls &m_darwin;
    qint32 m_pid;
    const TreeItems &m_items;
    QList<FileUse> m_uses;
};

} // namespace

std::optional<FileUsers> usersOf(DarwinCalls &darwin, const TreeItems &items, qint32 ownPid)
{
    const std::optional<QList<qint32>> pids = darwin.allProcessIds();
    if (!pids)
        return std::nullopt;
    FileUsers users;
    for (const qint32 pid : *pids) {
        // 0 is the kernel, whose files are no process's.
        if (pid <= 0 || pid == ownPid)
            continue;
        Process process(darwin, pid, items);
        const ProcessLook outcome = process.look();
        addProcessLook(
            users, pid, outcome, process.uses(), [&] { return process.name(); },
            [&] { return process.name(); });
    }
    return users;
}

} // namespace MacProcessFiles
