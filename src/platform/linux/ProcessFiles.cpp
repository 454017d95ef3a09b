#include "platform/linux/ProcessFiles.h"

#include "base/PathUtils.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <cerrno>
#include <fcntl.h>

namespace ProcessFiles {

namespace {

// What the kernel appends to the path of a file removed since it was opened: no longer part of
// any tree.
const QLatin1StringView deleted{" (deleted)"};

std::optional<QString> linkOf(const QString &path)
{
    const std::optional<QString> text = PathUtils::linkText(path);
    if (!text || text->endsWith(deleted))
        return std::nullopt;
    return text;
}

// The flags an open descriptor was opened with, from its fdinfo ("flags:\t0100002", octal).
std::optional<int> openFlags(const QString &fdinfo)
{
    QFile file(fdinfo);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.startsWith("flags:"))
            continue;
        bool ok = false;
        const int flags = line.mid(6).trimmed().toInt(&ok, 8);
        return ok ? std::optional(flags) : std::nullopt;
    }
    return std::nullopt;
}

// The files of `roots` that a process maps shared and writable, from its maps: "start-end perms
// offset dev inode path", perms such as "rw-s".
QStringList writableSharedMappings(const QString &maps, const QStringList &roots)
{
    QFile file(maps);
    QStringList found;
    if (!file.open(QIODevice::ReadOnly))
        return found;
    for (const QByteArray &line : file.readAll().split('\n')) {
        qsizetype at = 0;
        QList<QByteArrayView> fields;
        // Five fields, then the path, which may hold blanks of its own.
        while (fields.size() < 5 && at < line.size()) {
            while (at < line.size() && line.at(at) == ' ')
                ++at;
            const qsizetype start = at;
            while (at < line.size() && line.at(at) != ' ')
                ++at;
            fields.append(QByteArrayView(line).sliced(start, at - start));
        }
        if (fields.size() < 5 || fields.at(1).size() < 4 || fields.at(1).at(1) != 'w' ||
            fields.at(1).at(3) != 's')
            continue;
        while (at < line.size() && line.at(at) == ' ')
            ++at;
        const QString path = QFile::decodeName(line.mid(at));
        if (!path.startsWith(QLatin1Char('/')) || path.endsWith(deleted) ||
            !liesWithin(path, roots) || found.contains(path))
            continue;
        found.append(path);
    }
    return found;
}

QString processName(const QString &folder)
{
    if (const std::optional<QString> executable = linkOf(folder + QStringLiteral("/exe")))
        return PathUtils::lastComponent(*executable);
    QFile comm(folder + QStringLiteral("/comm"));
    return comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readAll().trimmed()) : QString();
}

} // namespace

std::optional<QList<FileUse>> usersWithin(const QStringList &roots, qint32 ownPid,
                                          const QString &proc)
{
    const QDir processes(proc);
    if (!processes.exists())
        return std::nullopt;
    QList<FileUse> uses;
    const QStringList pids = processes.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pidText : pids) {
        bool numeric = false;
        const qint32 pid = pidText.toInt(&numeric);
        if (!numeric || pid == ownPid)
            continue;
        const QString folder = proc + QLatin1Char('/') + pidText;
        QList<FileUse> found;
        const auto note = [&](FileUse::Kind kind, const QString &file) {
            const FileUse use{pid, QString(), kind, file};
            if (!found.contains(use))
                found.append(use);
        };
        if (const std::optional<QString> executable = linkOf(folder + QStringLiteral("/exe"));
            executable && liesWithin(*executable, roots))
            note(FileUse::Kind::runs, *executable);
        const QString fds = folder + QStringLiteral("/fd");
        const QStringList descriptors = QDir(fds).entryList(QDir::Files | QDir::System);
        for (const QString &fd : descriptors) {
            const std::optional<QString> file = linkOf(fds + QLatin1Char('/') + fd);
            if (!file || !liesWithin(*file, roots))
                continue;
            const std::optional<int> flags = openFlags(folder + QStringLiteral("/fdinfo/") + fd);
            // Closed meanwhile, or a mere handle of the path: nothing can be written through it.
            if (!flags && !PathUtils::existsNoFollow(fds + QLatin1Char('/') + fd))
                continue;
            if (flags && ((*flags & O_PATH) == O_PATH || (*flags & O_ACCMODE) == O_RDONLY))
                continue;
            note(FileUse::Kind::writes, *file);
        }
        for (const QString &file : writableSharedMappings(folder + QStringLiteral("/maps"), roots))
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
