#include "platform/linux/ProcessFiles.h"

#include "base/PathUtils.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace ProcessFiles {

namespace {

// What the kernel appends to the path of a file removed since it was opened: no longer part of
// any tree.
constexpr QByteArrayView deleted{" (deleted)"};

// The names in a folder of /proc; empty when it cannot be read (another user's, or gone).
std::vector<QByteArray> namesIn(const QByteArray &folder)
{
    std::vector<QByteArray> names;
    DIR *const dir = ::opendir(folder.constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

// A link's text, read whole: the sizes /proc gives its links say nothing.
std::optional<QByteArray> linkOf(const QByteArray &path)
{
    QByteArray text(256, Qt::Uninitialized);
    for (;;) {
        const ssize_t length = ::readlink(path.constData(), text.data(), size_t(text.size()));
        if (length < 0)
            return std::nullopt;
        if (length < text.size()) {
            text.truncate(length);
            return text.endsWith(deleted) ? std::nullopt : std::optional(text);
        }
        text.resize(text.size() * 2);
    }
}

QByteArray contentOf(const QByteArray &path)
{
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The flags an open descriptor was opened with, from its fdinfo ("flags:\t0100002", octal).
std::optional<int> openFlags(const QByteArray &fdinfo)
{
    for (const QByteArray &line : contentOf(fdinfo).split('\n')) {
        if (!line.startsWith("flags:"))
            continue;
        bool ok = false;
        const int flags = line.mid(6).trimmed().toInt(&ok, 8);
        return ok ? std::optional(flags) : std::nullopt;
    }
    return std::nullopt;
}

class Roots
{
public:
    explicit Roots(const QStringList &roots)
        : m_roots(roots)
    {
        for (const QString &root : roots)
            m_bytes.append(QFile::encodeName(root));
    }
    // Most files lie in no root, and are passed over on their bytes alone.
    [[nodiscard]] std::optional<QString> holding(QByteArrayView path) const
    {
        if (std::none_of(m_bytes.cbegin(), m_bytes.cend(),
                         [&](const QByteArray &root) { return path.startsWith(root); }))
            return std::nullopt;
        const QString decoded = QFile::decodeName(path.toByteArray());
        return liesWithin(decoded, m_roots) ? std::optional(decoded) : std::nullopt;
    }

private:
    QStringList m_roots;
    QList<QByteArray> m_bytes;
};

// The files of `roots` that a process maps shared and writable, from its maps: "start-end perms
// offset dev inode path", perms such as "rw-s".
QStringList writableSharedMappings(const QByteArray &maps, const Roots &roots)
{
    QStringList found;
    const QByteArray text = contentOf(maps);
    for (qsizetype start = 0; start < text.size();) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        const QByteArrayView line = QByteArrayView(text).sliced(start, end - start);
        start = end + 1;
        const qsizetype perms = line.indexOf(' ') + 1;
        if (perms <= 0 || line.size() < perms + 4 || line.at(perms + 1) != 'w' ||
            line.at(perms + 3) != 's')
            continue;
        const qsizetype path = line.indexOf('/', perms);
        if (path < 0 || line.endsWith(deleted))
            continue;
        if (const std::optional<QString> file = roots.holding(line.sliced(path));
            file && !found.contains(*file))
            found.append(*file);
    }
    return found;
}

QString processName(const QByteArray &folder)
{
    if (const std::optional<QByteArray> executable = linkOf(folder + "/exe"))
        return PathUtils::lastComponent(QFile::decodeName(*executable));
    return QString::fromUtf8(contentOf(folder + "/comm").trimmed());
}

} // namespace

std::optional<QList<FileUse>> usersWithin(const QStringList &roots, qint32 ownPid,
                                          const QString &proc)
{
    const QByteArray base = QFile::encodeName(proc);
    if (::access(base.constData(), R_OK) != 0)
        return std::nullopt;
    const Roots within(roots);
    QList<FileUse> uses;
    for (const QByteArray &pidText : namesIn(base)) {
        bool numeric = false;
        const qint32 pid = pidText.toInt(&numeric);
        if (!numeric || pid == ownPid)
            continue;
        const QByteArray folder = base + '/' + pidText;
        QList<FileUse> found;
        const auto note = [&](FileUse::Kind kind, const QString &file) {
            const FileUse use{pid, QString(), kind, file};
            if (!found.contains(use))
                found.append(use);
        };
        if (const std::optional<QByteArray> executable = linkOf(folder + "/exe")) {
            if (const std::optional<QString> file = within.holding(*executable))
                note(FileUse::Kind::runs, *file);
        }
        const QByteArray fds = folder + "/fd/";
        for (const QByteArray &fd : namesIn(fds)) {
            const std::optional<QByteArray> link = linkOf(fds + fd);
            const std::optional<QString> file = link ? within.holding(*link) : std::nullopt;
            if (!file)
                continue;
            const std::optional<int> flags = openFlags(folder + "/fdinfo/" + fd);
            // Closed meanwhile, or a mere handle of the path: nothing can be written through it.
            if (!flags && !PathUtils::existsNoFollow(QFile::decodeName(fds + fd)))
                continue;
            if (flags && ((*flags & O_PATH) == O_PATH || (*flags & O_ACCMODE) == O_RDONLY))
                continue;
            note(FileUse::Kind::writes, *file);
        }
        for (const QString &file : writableSharedMappings(folder + "/maps", within))
            note(FileUse::Kind::maps, file);
        if (found.isEmpty())
            continue;
        const QString name = processName(folder);
        for (FileUse &use : found)
            use.process = name;
        uses.append(found);
    }
    return uses;
}

} // namespace ProcessFiles
