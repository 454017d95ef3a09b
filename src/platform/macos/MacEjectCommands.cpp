#include "platform/macos/MacEjectCommands.h"

#include <algorithm>

namespace {

const QString diskutil = QStringLiteral("/usr/sbin/diskutil");

} // namespace

namespace MacEjectCommands {

QStringList listOpenFiles(const QStringList &arguments)
{
    return QStringList{QStringLiteral("/usr/sbin/lsof")} + arguments;
}

QStringList unmount(const QString &mountPath, bool force)
{
    if (force)
        return {diskutil, QStringLiteral("unmount"), QStringLiteral("force"), mountPath};
    return {diskutil, QStringLiteral("unmount"), mountPath};
}

QStringList eject(const QString &mountPath)
{
    return {diskutil, QStringLiteral("eject"), mountPath};
}

QStringList flushFileSystemBuffers()
{
    return {QStringLiteral("/bin/sync")};
}

} // namespace MacEjectCommands

namespace MacEjectCommands {

QStringList fileUseArguments()
{
    return {QStringLiteral("-w"), QStringLiteral("-n"), QStringLiteral("-P"), QStringLiteral("-F"),
            QStringLiteral("pcfan")};
}

QList<FileUse> parseFileUses(const QByteArray &output, const QStringList &roots, qint32 ownPid,
                             const std::function<QString(qint32)> &executablePath)
{
    // Every open file of every process: most names lie in no root, and are passed over on their
    // bytes alone.
    QList<QByteArray> rootBytes;
    for (const QString &root : roots)
        rootBytes.append(root.toUtf8());
    const auto mayLieWithin = [&](QByteArrayView name) {
        return std::any_of(rootBytes.cbegin(), rootBytes.cend(),
                           [&](const QByteArray &root) { return name.startsWith(root); });
    };
    QList<FileUse> uses;
    std::optional<qint32> pid;
    QString command;
    QString executable;
    bool executableRead = false;
    QByteArrayView fd;
    QByteArrayView access;
    for (qsizetype start = 0; start < output.size();) {
        qsizetype end = output.indexOf('\n', start);
        if (end < 0)
            end = output.size();
        const QByteArrayView line = QByteArrayView(output).sliced(start, end - start);
        start = end + 1;
        if (line.isEmpty())
            continue;
        const QByteArrayView value = line.sliced(1);
        switch (line.front()) {
        case 'p': {
            bool ok = false;
            const qint32 number = value.toInt(&ok);
            pid = ok && number != ownPid ? std::optional(number) : std::nullopt;
            command.clear();
            executableRead = false;
            break;
        }
        case 'c':
            command = QString::fromUtf8(value);
            break;
        case 'f':
            fd = value;
            access = {};
            break;
        case 'a':
            access = value.trimmed();
            break;
        case 'n': {
            if (!pid || !mayLieWithin(value))
                break;
            const QString name = QString::fromUtf8(value);
            if (!liesWithin(name, roots))
                break;
            if (!executableRead) {
                executable = executablePath(*pid);
                executableRead = true;
            }
            std::optional<FileUse::Kind> kind;
            if (fd == "txt" || fd == "mem")
                kind = name == executable ? FileUse::Kind::runs : FileUse::Kind::maps;
            else if (!fd.isEmpty() &&
                     std::all_of(fd.cbegin(), fd.cend(),
                                 [](char c) { return c >= '0' && c <= '9'; }) &&
                     (access == "w" || access == "u"))
                kind = FileUse::Kind::writes;
            if (!kind)
                break;
            const FileUse use{
                *pid,
                executable.isEmpty() ? command : executable.mid(executable.lastIndexOf('/') + 1),
                *kind, name};
            if (!uses.contains(use))
                uses.append(use);
            break;
        }
        default:
            break;
        }
    }
    return uses;
}

std::optional<QList<FileUse>> fileUses(const ToolRun &run, const QStringList &roots, qint32 ownPid,
                                       const std::function<QString(qint32)> &executablePath)
{
    // lsof ends with 1 where some process could not be looked into; what it listed stands.
    if (!run.started || run.timedOut || (run.exitCode != 0 && run.exitCode != 1))
        return std::nullopt;
    return parseFileUses(run.output, roots, ownPid, executablePath);
}

} // namespace MacEjectCommands
