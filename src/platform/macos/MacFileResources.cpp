#include "platform/macos/MacFileResources.h"

#include "base/PathUtils.h"

#include <QFile>
#include <QStringList>
#include <sys/stat.h>

namespace {

bool isRegularFileNoFollow(const QString &path)
{
    struct stat info
    {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

bool startsWithBookmark(const QString &path)
{
    if (!isRegularFileNoFollow(path))
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && MacFileResources::hasBookmarkHeader(file.read(16));
}

} // namespace

MacFileResources::MacFileResources(std::shared_ptr<DarwinCalls> darwin)
    : m_darwin(std::move(darwin))
{}

bool MacFileResources::hasBookmarkHeader(const QByteArray &head)
{
    static const QByteArray magic("book\0\0\0\0mark\0\0\0\0", 16);
    return head.startsWith(magic);
}

bool MacFileResources::isHidden(const QString &path)
{
    return PathUtils::lastComponent(path).startsWith(QLatin1Char('.')) ||
           m_darwin->hasHiddenFlag(path);
}

std::optional<bool> MacFileResources::isAliasFile(const QString &path)
{
    if (!PathUtils::existsNoFollow(path))
        return std::nullopt;
    return PathUtils::isSymlink(path) || startsWithBookmark(path);
}

std::optional<QString> MacFileResources::resolveAliasFile(const QString &path)
{
    if (!startsWithBookmark(path))
        return std::nullopt;
    return m_darwin->resolveBookmarkFile(path);
}

std::optional<QString> MacFileResources::removalLock(const QString &path)
{
    // chflags(2)'s flags; restricted is System Integrity Protection's.
    using namespace DarwinValues;
    static const std::pair<quint32, const char *> locks[] = {
        {userImmutable, "locked (uchg)"},
        {systemImmutable, "system-immutable (schg)"},
        {userAppend, "append-only (uappnd)"},
        {systemAppend, "system append-only (sappnd)"},
        {restricted, "protected by System Integrity Protection (restricted)"},
        {noUnlink, "system-undeletable (sunlnk)"},
    };
    const std::optional<quint32> flags = m_darwin->fileFlags(path);
    if (!flags)
        return std::nullopt;
    for (const auto &[flag, name] : locks) {
        if ((*flags & flag) != 0)
            return QString::fromLatin1(name);
    }
    return std::nullopt;
}
