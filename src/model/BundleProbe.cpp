#include "model/BundleProbe.h"

#include "base/PathUtils.h"
#include "base/PlistFile.h"
#include "platform/System.h"

namespace {

// A file URL's path as given, without trailing slashes.
QString pathOf(const QUrl &url)
{
    QString path = url.toLocalFile();
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

} // namespace

bool BundleProbe::isProxyBundle(const QUrl &url)
{
    const std::optional<QVariantMap> info =
        PlistFile::readDictionary(pathOf(url) + QStringLiteral("/Contents/Info.plist"));
    return info && marksProxy(*info);
}

bool BundleProbe::marksProxy(const QVariantMap &info)
{
    const QVariant marker = info.value(QStringLiteral("IsKorvanthelixProxy"));
    if (marker.typeId() == QMetaType::Bool && marker.toBool())
        return true;
    return info.contains(QStringLiteral("TargetAppPath"));
}

bool BundleProbe::isSymbolicLink(const QString &path)
{
    return PathUtils::isSymlink(path);
}

bool BundleProbe::isAliasFile(const QUrl &url)
{
    return System::current().fileResources().isAliasFile(pathOf(url)).value_or(false);
}
