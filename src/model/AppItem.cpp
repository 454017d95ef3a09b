#include "model/AppItem.h"

#include "model/BundleProbe.h"

#include "base/ByteCount.h"
#include "base/PathUtils.h"
#include "platform/System.h"

namespace {

const QString calculating = QStringLiteral("Calculating\u2026");

QString containingFolder(const QUrl &url)
{
    return PathUtils::parentPath(url.toLocalFile());
}

} // namespace

bool AppItem::isProxyBundle() const
{
    return BundleProbe::isProxyBundle(url);
}

bool AppItem::isOffloaded() const
{
    return isSymlink || isAlias || isProxyBundle();
}

bool AppItem::isRootApplicationsFolder() const
{
    return containingFolder(url) == System::current().paths().applications;
}

std::optional<QString> AppItem::subfolderPath() const
{
    const SystemPaths paths = System::current().paths();
    const QString folder = containingFolder(url);
    if (folder == paths.applications || folder == paths.userApplications)
        return std::nullopt;
    for (const QString &root : {paths.applications, paths.userApplications}) {
        const QString prefix = root + QLatin1Char('/');
        if (folder.startsWith(prefix))
            return folder.mid(prefix.size());
    }
    return PathUtils::lastComponent(folder);
}

std::optional<QString> AppItem::topSubfolderName() const
{
    const std::optional<QString> subfolder = subfolderPath();
    if (!subfolder)
        return std::nullopt;
    const QStringList parts = subfolder->split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return std::nullopt;
    return parts.first();
}

AppOffloadStatus AppItem::status() const
{
    if (isProtected)
        return AppOffloadStatus::protected_;
    if (isOverwrittenOffload)
        return AppOffloadStatus::needsReoffload;
    // Read the property list at most once per evaluation; nothing is kept in the record.
    std::optional<bool> proxy;
    const auto proxyBundle = [&] {
        if (!proxy)
            proxy = isProxyBundle();
        return *proxy;
    };
    if (!isSymlink && !isAlias && !proxyBundle()) {
        if (isUpdateOutOfSync)
            return AppOffloadStatus::backupOutOfSync;
        return isCopied ? AppOffloadStatus::copied : AppOffloadStatus::local;
    }
    if (!symlinkTarget || !PathUtils::existsFollowingLinks(*symlinkTarget))
        return AppOffloadStatus::dangling;
    return proxyBundle() ? AppOffloadStatus::proxy : AppOffloadStatus::offloaded;
}

QString AppItem::sizeFormatted() const
{
    if (size == 0)
        return calculating;
    const QString text = formatFileSize(size);
    return isOffloaded() ? text + QStringLiteral(" (Offloaded)") : text;
}

qint64 AppItem::totalSelectedSize() const
{
    qint64 total = size;
    for (const SupportFolder &folder : supportFolders) {
        if (folder.isSelected)
            total += folder.size;
    }
    return total;
}

QString AppItem::totalSelectedSizeFormatted() const
{
    const qint64 total = totalSelectedSize();
    return total == 0 ? calculating : formatFileSize(total);
}

size_t qHash(const AppItem &item, size_t seed) noexcept
{
    return qHash(item.id(), seed);
}
