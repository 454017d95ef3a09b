#include "platform/linux/LinuxFileResources.h"

#include "base/PathUtils.h"

#include <sys/stat.h>

bool LinuxFileResources::isHidden(const QString &path)
{
    return PathUtils::lastComponent(path).startsWith(QLatin1Char('.'));
}

std::optional<bool> LinuxFileResources::isAliasFile(const QString &path)
{
    struct stat info
    {};
    if (::lstat(path.toLocal8Bit().constData(), &info) != 0)
        return std::nullopt;
    return S_ISLNK(info.st_mode);
}

std::optional<QString> LinuxFileResources::resolveAliasFile(const QString &)
{
    return std::nullopt;
}
