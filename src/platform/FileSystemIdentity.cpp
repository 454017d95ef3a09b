#include "platform/FileSystemIdentity.h"

#include "base/PathUtils.h"
#include "platform/System.h"

#include <QFile>
#include <sys/stat.h>

std::optional<quint64> FileSystemIdentity::deviceOf(const QString &path, bool followLink)
{
    struct stat info
    {};
    if (path.isEmpty())
        return std::nullopt;
    const QByteArray native = QFile::encodeName(path);
    if ((followLink ? ::stat(native.constData(), &info) : ::lstat(native.constData(), &info)) != 0)
        return std::nullopt;
    return quint64(info.st_dev);
}

std::optional<FileSystemIdentity> FileSystemIdentity::of(const QString &path)
{
    const std::optional<VolumeResourceValues> values =
        System::current().volumes().resourceValues(path);
    if (!values || !values->volumePath || values->volumePath->isEmpty())
        return std::nullopt;
    const std::optional<quint64> device = deviceOf(path);
    // The folder the platform names must hold the same file system as the path itself;
    // otherwise the mount table and the disk disagree and nothing can be proven.
    if (!device || deviceOf(*values->volumePath) != device)
        return std::nullopt;
    return FileSystemIdentity{PathUtils::standardized(*values->volumePath), *device};
}

bool FileSystemIdentity::holds(const QString &path) const
{
    const std::optional<FileSystemIdentity> now = of(path);
    return now && *now == *this;
}
