#include "base/PathUtils.h"

#include <QStringList>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace PathUtils {

QString standardized(const QString &path)
{
    if (path.isEmpty())
        return path;
    const bool absolute = path.startsWith(QLatin1Char('/'));
    QStringList parts;
    const QStringList pieces = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &piece : pieces) {
        if (piece == QLatin1String("."))
            continue;
        if (piece == QLatin1String("..")) {
            if (!parts.isEmpty() && parts.last() != QLatin1String(".."))
                parts.removeLast();
            else if (!absolute)
                parts.append(piece);
            continue;
        }
        parts.append(piece);
    }
    const QString joined = parts.join(QLatin1Char('/'));
    if (absolute)
        return QLatin1Char('/') + joined;
    return joined.isEmpty() ? QStringLiteral(".") : joined;
}

QString resolved(const QString &path)
{
    QString current = standardized(path);
    QString tail;
    // Walk up until an existing prefix can be resolved by realpath, then put the missing
    // tail back on lexically.
    while (!current.isEmpty()) {
        char buffer[PATH_MAX];
        const QByteArray native = current.toLocal8Bit();
        if (::realpath(native.constData(), buffer)) {
            const QString head = QString::fromLocal8Bit(buffer);
            return tail.isEmpty() ? head : standardized(head + QLatin1Char('/') + tail);
        }
        if (current == QLatin1String("/") || !current.contains(QLatin1Char('/')))
            break;
        const QString name = lastComponent(current);
        tail = tail.isEmpty() ? name : name + QLatin1Char('/') + tail;
        current = parentPath(current);
    }
    return standardized(path);
}

std::optional<QString> linkText(const QString &path)
{
    const QByteArray native = path.toLocal8Bit();
    struct stat info
    {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISLNK(info.st_mode))
        return std::nullopt;
    // The size lstat gives is only a first guess: a link of /proc says 64 whatever it holds, and
    // a link can be made anew, longer, in between. A text that fills the buffer may go on.
    QByteArray buffer(qsizetype(info.st_size > 0 ? info.st_size + 1 : PATH_MAX), '\0');
    for (;;) {
        const ssize_t length = ::readlink(native.constData(), buffer.data(), size_t(buffer.size()));
        if (length < 0)
            return std::nullopt;
        if (length < buffer.size()) {
            buffer.truncate(qsizetype(length));
            return QString::fromLocal8Bit(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool existsFollowingLinks(const QString &path)
{
    struct stat info
    {};
    return !path.isEmpty() && ::stat(path.toLocal8Bit().constData(), &info) == 0;
}

bool existsNoFollow(const QString &path)
{
    struct stat info
    {};
    return !path.isEmpty() && ::lstat(path.toLocal8Bit().constData(), &info) == 0;
}

bool isSymlink(const QString &path)
{
    struct stat info
    {};
    return ::lstat(path.toLocal8Bit().constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool isDirectory(const QString &path)
{
    struct stat info
    {};
    return ::stat(path.toLocal8Bit().constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isDirectoryNoFollow(const QString &path)
{
    struct stat info
    {};
    return ::lstat(path.toLocal8Bit().constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

QString lastComponent(const QString &path)
{
    QString text = path;
    while (text.size() > 1 && text.endsWith(QLatin1Char('/')))
        text.chop(1);
    const qsizetype slash = text.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? text : text.mid(slash + 1);
}

QString parentPath(const QString &path)
{
    QString text = path;
    while (text.size() > 1 && text.endsWith(QLatin1Char('/')))
        text.chop(1);
    const qsizetype slash = text.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral(".");
    if (slash == 0)
        return QStringLiteral("/");
    return text.left(slash);
}

QString baseName(const QString &path)
{
    const QString name = lastComponent(path);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot <= 0 ? name : name.left(dot);
}

QString extension(const QString &path)
{
    const QString name = lastComponent(path);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot <= 0 ? QString() : name.mid(dot + 1);
}

QString join(const QString &folder, const QString &name)
{
    if (folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

bool isSameOrInside(const QString &path, const QString &root)
{
    const QString p = standardized(path);
    const QString r = standardized(root);
    if (p == r)
        return true;
    if (r == QLatin1String("/"))
        return p.startsWith(QLatin1Char('/'));
    return p.startsWith(r + QLatin1Char('/'));
}

} // namespace PathUtils
