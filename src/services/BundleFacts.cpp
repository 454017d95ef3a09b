#include "services/BundleFacts.h"

#include "base/FolderEntries.h"
#include "base/PlistFile.h"
#include "base/UniqueFd.h"

#include <QVariantMap>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString infoPlistPath(const QString &bundlePath)
{
    return bundlePath + QStringLiteral("/Contents/Info.plist");
}

std::optional<QString> textValue(const QVariantMap &dictionary, const QString &key)
{
    const auto it = dictionary.constFind(key);
    if (it == dictionary.constEnd() || it->typeId() != QMetaType::QString)
        return std::nullopt;
    return it->toString();
}

// Sums the regular files below the open folder `folderFd` (which it closes). Works on file
// descriptors so that a deep tree costs one fstatat per file and no path building.
qint64 sumFolder(int folderFd)
{
    const UniqueFd folder(folderFd);
    const std::optional<std::vector<FolderEntry>> entries = entriesOf(folder.get());
    if (!entries)
        return 0;
    qint64 total = 0;
    for (const FolderEntry &entry : *entries) {
        mode_t type = entry.type;
        struct stat info
        {};
        if (type == 0 || type == S_IFREG) {
            if (::fstatat(folder.get(), entry.name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = info.st_mode & S_IFMT;
        }
        if (type == S_IFREG) {
            total += qint64(info.st_size);
        } else if (type == S_IFDIR) {
            const int child = ::openat(folder.get(), entry.name.constData(),
                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0)
                total += sumFolder(child);
        }
    }
    return total;
}

} // namespace

namespace BundleFacts {

qint64 directorySize(const QString &path)
{
    if (path.isEmpty())
        return 0;
    const QByteArray native = path.toLocal8Bit();
    struct stat info
    {};
    if (::stat(native.constData(), &info) != 0)
        return 0;
    if (!S_ISDIR(info.st_mode)) {
        // The item's own size; a link to a file counts as the link itself does.
        struct stat own
        {};
        return ::lstat(native.constData(), &own) == 0 ? qint64(own.st_size) : 0;
    }
    const int folder = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return folder < 0 ? 0 : sumFolder(folder);
}

VersionInfo versionInfo(const QUrl &bundle)
{
    return versionInfo(bundle.toLocalFile());
}

VersionInfo versionInfo(const QString &bundlePath)
{
    return versionInfo(PlistFile::readDictionary(infoPlistPath(bundlePath)));
}

VersionInfo versionInfo(const std::optional<QVariantMap> &info)
{
    if (!info)
        return {};
    VersionInfo result;
    result.shortVersion = textValue(*info, QStringLiteral("CFBundleShortVersionString"));
    result.buildVersion = textValue(*info, QStringLiteral("CFBundleVersion"));
    if (!result.shortVersion)
        result.displayVersion = result.buildVersion;
    else if (!result.buildVersion || *result.buildVersion == *result.shortVersion)
        result.displayVersion = result.shortVersion;
    else
        result.displayVersion =
            *result.shortVersion + QStringLiteral(" (") + *result.buildVersion + QLatin1Char(')');
    return result;
}

bool isUpdateOutOfSync(const VersionInfo &local, const VersionInfo &copy)
{
    if (!local.shortVersion || !copy.shortVersion)
        return false;
    if (*local.shortVersion != *copy.shortVersion)
        return true;
    return local.buildVersion && copy.buildVersion && *local.buildVersion != *copy.buildVersion;
}

std::optional<QString> bundleIdentifier(const QString &itemPath,
                                        const std::optional<QString> &target)
{
    return bundleIdentifier(PlistFile::readDictionary(infoPlistPath(itemPath)),
                            [&]() -> std::optional<QVariantMap> {
                                if (!target)
                                    return std::nullopt;
                                return PlistFile::readDictionary(infoPlistPath(*target));
                            });
}

std::optional<QString>
bundleIdentifier(const std::optional<QVariantMap> &own,
                 const std::function<std::optional<QVariantMap>()> &targetInfo)
{
    const QString identifierKey = QStringLiteral("CFBundleIdentifier");
    const auto targetIdentifier = [&]() -> std::optional<QString> {
        const std::optional<QVariantMap> info = targetInfo();
        return info ? textValue(*info, identifierKey) : std::nullopt;
    };

    if (!own)
        return targetIdentifier();
    const std::optional<QString> original =
        textValue(*own, QStringLiteral("OriginalBundleIdentifier"));
    if (original && !original->isEmpty())
        return original;
    const std::optional<QString> ownIdentifier = textValue(*own, identifierKey);
    if (ownIdentifier && !ownIdentifier->startsWith(QLatin1String("com.korvanthelix.proxy.")))
        return ownIdentifier;
    if (const std::optional<QString> fromTarget = targetIdentifier())
        return fromTarget;
    return ownIdentifier;
}

} // namespace BundleFacts
