#include "platform/EjectTools.h"

#include "base/FolderEntries.h"
#include "base/UniqueFd.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ToolRun runEjectTool(const QString &program, const QStringList &arguments,
                     const SubprocessOptions &options, bool withErrorOutput)
{
    ToolRun run;
    if (program.isEmpty()) {
        run.startError = QStringLiteral("tool not found");
        return run;
    }
    const SubprocessResult result = Subprocess::run(program, arguments, options);
    run.started = !result.failedToStart;
    run.startError = result.startError;
    run.timedOut = result.timedOut;
    run.exitCode = result.exitCode;
    run.output = result.standardOutput;
    if (withErrorOutput)
        run.output += result.standardError;
    return run;
}

namespace {

// Every item below a root, each by its identity. What cannot be listed is named in `unlisted`:
// a writer could hide in it, and the look that asked must then say it cannot tell.
class TreeWalk
{
public:
    explicit TreeWalk(TreeItems &items)
        : m_items(items)
    {}

    void root(const QString &path)
    {
        const QByteArray native = QFile::encodeName(path);
        const qsizetype slash = native.lastIndexOf('/');
        const QByteArray name = slash < 0 ? native : native.mid(slash + 1);
        // "/" is a root without a folder holding it.
        const QByteArray folderPath =
            slash < 0 ? QByteArray(".") : (slash == 0 ? QByteArray("/") : native.left(slash));
        UniqueFd folder;
        int failure = 0;
        if (!name.isEmpty()) {
            folder = UniqueFd(::open(folderPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            failure = folder.valid() ? 0 : errno;
        }
        const int at = folder.valid() ? folder.get() : AT_FDCWD;
        const QByteArray entered = name.isEmpty() ? native : name;
        struct stat info
        {};
        if (failure == 0 && ::fstatat(at, entered.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            failure = errno;
        if (failure != 0) {
            // Nothing there holds nothing; a place that cannot be looked at might.
            if (failure != ENOENT && failure != ENOTDIR)
                noteUnlisted(native);
            return;
        }
        note(info, native);
        if (S_ISDIR(info.st_mode))
            enter(at, entered, info, native);
    }

private:
    void note(const struct stat &info, const QByteArray &path)
    {
        const FileIdentity identity{quint64(info.st_dev), quint64(info.st_ino)};
        if (!m_items.paths.contains(identity))
            m_items.paths.insert(identity, QFile::decodeName(path));
    }

    void noteUnlisted(const QByteArray &path)
    {
        if (m_items.unlisted.isEmpty())
            m_items.unlisted = QFile::decodeName(path);
    }

    // Opens the folder `name` of `folder` without following a link, and only when it is the item
    // `info` said was there, then notes what it holds.
    void enter(int folder, const QByteArray &name, const struct stat &info, const QByteArray &path)
    {
        const UniqueFd opened(
            ::openat(folder, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat now
        {};
        if (!opened.valid()) {
            // Gone meanwhile: what it held went with it.
            if (errno != ENOENT && errno != ENOTDIR)
                noteUnlisted(path);
            return;
        }
        if (::fstat(opened.get(), &now) != 0 || now.st_dev != info.st_dev ||
            now.st_ino != info.st_ino) {
            noteUnlisted(path);
            return;
        }
        const std::optional<std::vector<FolderEntry>> entries = entriesOf(opened.get());
        if (!entries) {
            noteUnlisted(path);
            return;
        }
        for (const FolderEntry &entry : *entries) {
            struct stat item
            {};
            if (::fstatat(opened.get(), entry.name.constData(), &item, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT)
                    noteUnlisted(path + '/' + entry.name);
                continue;
            }
            if (isLeftOutOfCopies(item.st_mode & S_IFMT))
                continue;
            const QByteArray itemPath = path + '/' + entry.name;
            const FileIdentity identity{quint64(item.st_dev), quint64(item.st_ino)};
            // A folder met before (a bind mount of one of its own ancestors, a folder's hard
            // link) is not entered again; one of another file system only is named.
            const bool known = m_items.paths.contains(identity);
            note(item, itemPath);
            if (S_ISDIR(item.st_mode) && !known && item.st_dev == info.st_dev)
                enter(opened.get(), entry.name, item, itemPath);
        }
    }

    TreeItems &m_items;
};

} // namespace

TreeItems treeItemsOf(const QStringList &roots)
{
    TreeItems items;
    TreeWalk walk(items);
    for (const QString &root : roots)
        walk.root(root);
    return items;
}

void addProcessLook(FileUsers &users, qint32 pid, ProcessLook outcome, const QList<FileUse> &uses,
                    const std::function<QString()> &name,
                    const std::function<QString()> &uninspectedName)
{
    switch (outcome) {
    case ProcessLook::passedOver:
        return;
    case ProcessLook::uninspected:
        users.uninspected.append({pid, uninspectedName()});
        return;
    case ProcessLook::looked:
        if (uses.isEmpty())
            return;
        const QString named = name();
        for (FileUse use : uses) {
            use.process = named;
            users.uses.append(use);
        }
        return;
    }
}
