#include "platform/linux/LinuxFileResources.h"

#include "base/PathUtils.h"

bool LinuxFileResources::isHidden(const QString &path)
{
    return PathUtils::lastComponent(path).startsWith(QLatin1Char('.'));
}

std::optional<bool> LinuxFileResources::isAliasFile(const QString &path)
{
    if (!PathUtils::existsNoFollow(path))
        return std::nullopt;
    return PathUtils::isSymlink(path);
}

std::optional<QString> LinuxFileResources::resolveAliasFile(const QString &)
{
    return std::nullopt;
}
