#include "model/TargetVolume.h"

#include "base/ByteCount.h"

#include <QHashFunctions>
#include <QStringList>
#include <algorithm>

namespace {

// Linux file systems that keep POSIX permissions and symbolic links, so a bundle copied
// onto them survives intact.
bool isLinuxNativeFormat(const QString &lowerType)
{
    static const QStringList formats = {
        QStringLiteral("ext2"),  QStringLiteral("ext3"),  QStringLiteral("ext4"),
        QStringLiteral("btrfs"), QStringLiteral("xfs"),   QStringLiteral("f2fs"),
        QStringLiteral("zfs"),   QStringLiteral("tmpfs"),
    };
    return formats.contains(lowerType);
}

bool isMacFormat(const QString &lowerType)
{
    return lowerType == QLatin1String("apfs") || lowerType.startsWith(QLatin1String("hfs")) ||
           lowerType.contains(QLatin1String("mac os extended"));
}

} // namespace

bool TargetVolume::isCompatible() const
{
    const QString type = fileSystemType.toLower();
    return (isMacFormat(type) || isLinuxNativeFormat(type)) && supportsSymlinks && isWritable;
}

std::optional<QString> TargetVolume::incompatibilityReason() const
{
    const QString type = fileSystemType.toLower();
    if (!isWritable)
        return QStringLiteral("Volume is read-only or permission is denied.");
    if (type == QLatin1String("exfat") || type.contains(QLatin1String("fat")) ||
        type.contains(QLatin1String("msdos")))
        return QStringLiteral("Drive format '") + fileSystemType +
               QStringLiteral("' does not support macOS permissions, code-signing, or "
                              "symlinks. macOS apps require APFS or Mac OS Extended "
                              "(Journaled).");
    if (type.contains(QLatin1String("ntfs")))
        return QStringLiteral(
            "NTFS drives are read-only on macOS and cannot host macOS applications.");
    if (!supportsSymlinks)
        return QStringLiteral("Drive does not support symbolic links required by application "
                              "bundles.");
    return std::nullopt;
}

QString TargetVolume::fileSystemDisplay() const
{
    const QString upper = fileSystemType.toUpper();
    if (upper == QLatin1String("APFS"))
        return QStringLiteral("APFS");
    if (upper == QLatin1String("HFS") || upper.contains(QLatin1String("HFS+")))
        return QStringLiteral("HFS+ (Journaled)");
    return fileSystemType;
}

QString TargetVolume::freeBytesFormatted() const
{
    return formatFileSize(freeBytes);
}

QString TargetVolume::totalBytesFormatted() const
{
    return formatFileSize(totalBytes);
}

double TargetVolume::usagePercentage() const
{
    if (totalBytes <= 0)
        return 0.0;
    const double used = double(totalBytes - freeBytes) / double(totalBytes);
    return std::clamp(used, 0.0, 1.0);
}

size_t qHash(const TargetVolume &volume, size_t seed) noexcept
{
    return qHashMulti(seed, volume.url, volume.name, volume.totalBytes, volume.freeBytes,
                      volume.isRemovable, volume.isWritable, volume.fileSystemType,
                      volume.supportsSymlinks);
}
