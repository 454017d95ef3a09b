#include "transfer/DriveLayout.h"

#include "base/PathUtils.h"
#include "base/Uuid.h"
#include "model/AppItem.h"
#include "model/SupportFolder.h"

namespace DriveLayout {

namespace {

QUrl under(const QUrl &folder, const QString &relative)
{
    return QUrl::fromLocalFile(PathUtils::join(folder.toLocalFile(), relative));
}

} // namespace

QUrl applicationsFolder(const QUrl &target, const AppItem &app)
{
    const QUrl folder = under(target, QStringLiteral("Applications"));
    const auto subfolder = app.subfolderPath();
    if (!subfolder || subfolder->isEmpty())
        return folder;
    return under(folder, *subfolder);
}

QUrl supportRoot(const QUrl &target)
{
    return under(target, QStringLiteral("Application Support"));
}

QUrl finalBundleLocation(const QUrl &target, const AppItem &app)
{
    return under(applicationsFolder(target, app), PathUtils::lastComponent(app.url.toLocalFile()));
}

QUrl finalSupportLocation(const QUrl &target, const SupportFolder &folder)
{
    return under(supportRoot(target), PathUtils::lastComponent(folder.url.toLocalFile()));
}

QUrl stagedLocation(const QUrl &finalLocation)
{
    QString path = finalLocation.toLocalFile();
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return QUrl::fromLocalFile(path + partialSuffix);
}

QString rollbackName(const QString &finalName)
{
    return QLatin1Char('.') + finalName + QStringLiteral(".rollback-") + newUuidText();
}

QString offloadRollbackName(const QString &localName)
{
    return QLatin1Char('.') + localName + QStringLiteral(".offload-rollback-") + newUuidText();
}

QString offloadedOriginalName(const QString &localName)
{
    return QLatin1Char('.') + localName + QStringLiteral(".offloaded-") + newUuidText();
}

QString keptCopyName(const QString &finalName)
{
    return finalName + keptCopyMarker + newUuidText();
}

} // namespace DriveLayout
