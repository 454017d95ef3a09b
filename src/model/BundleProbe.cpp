#include "model/BundleProbe.h"

#include "base/PathUtils.h"
#include "base/PlistFile.h"
#include "platform/System.h"

#include <QDir>
#include <QDirIterator>

namespace {

// A file URL's path as given, without trailing slashes.
QString pathOf(const QUrl &url)
{
    QString path = url.toLocalFile();
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

// Whether a folder holds nothing but what the proxy builder writes, codesign's signature and
// Finder's view settings. A real application holds at least its own executable, so it never does.
bool holdsOnlyBuilderEntries(const QString &bundle)
{
    if (!PathUtils::isDirectoryNoFollow(bundle))
        return false;
    static const QStringList ownEntries = {
        QStringLiteral("Contents"),
        QStringLiteral("Contents/Info.plist"),
        QStringLiteral("Contents/MacOS"),
        QStringLiteral("Contents/MacOS/") + BundleProbe::launcherName,
        QStringLiteral("Contents/Resources"),
        QStringLiteral("Contents/Resources/AppIcon.icns"),
        QStringLiteral("Contents/Resources/AppIcon.png"),
        QStringLiteral("Contents/_CodeSignature"),
    };
    const QString signature = QStringLiteral("Contents/_CodeSignature/");
    QDirIterator it(bundle, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = it.next().mid(bundle.size() + 1);
        if (!ownEntries.contains(relative) && !relative.startsWith(signature) &&
            it.fileName() != QLatin1String(".DS_Store"))
            return false;
    }
    return true;
}

} // namespace

bool BundleProbe::isBuiltProxy(const QString &path)
{
    QString bundle = path;
    while (bundle.size() > 1 && bundle.endsWith(QLatin1Char('/')))
        bundle.chop(1);
    if (!holdsOnlyBuilderEntries(bundle))
        return false;
    const std::optional<QVariantMap> info =
        PlistFile::readDictionary(bundle + QStringLiteral("/Contents/Info.plist"));
    return !info || marksProxy(*info);
}

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
