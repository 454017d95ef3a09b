#include "views/sheets/DuplicateInstancesPresenter.h"

#include "base/ByteCount.h"

DuplicateRow DuplicateInstancesPresenter::row(const DuplicateLocalInstance &instance)
{
    const AppItem &local = instance.localApp;
    const AppItem &primary = instance.offloadedPrimary;
    DuplicateRow row;
    row.id = instance.id();
    row.name = local.name;
    if (local.version)
        row.versionText = QLatin1Char('v') + *local.version;
    row.sizeText = formatFileSize(local.totalSelectedSize());
    row.localPathText = QStringLiteral("Local copy: ") + local.url.toLocalFile();
    row.primaryPathText = QStringLiteral("Offloaded primary: ") + primary.url.toLocalFile();
    if (const std::optional<QString> version =
            primary.externalVersion ? primary.externalVersion : primary.version)
        row.primaryVersionText = QStringLiteral("(v") + *version + QLatin1Char(')');
    row.isRunning = local.isRunning;
    if (local.isRunning)
        row.runningWarning = QStringLiteral("Running — quit before trashing");
    return row;
}

qint64 DuplicateInstancesPresenter::reclaimableBytes(const QList<DuplicateLocalInstance> &instances)
{
    qint64 total = 0;
    for (const DuplicateLocalInstance &instance : instances)
        total += instance.localApp.totalSelectedSize();
    return total;
}

QString DuplicateInstancesPresenter::totalText(const QList<DuplicateLocalInstance> &instances)
{
    if (instances.isEmpty())
        return {};
    return QStringLiteral("Total reclaimable: ") + formatFileSize(reclaimableBytes(instances));
}

std::optional<QString> DuplicateInstancesPresenter::statusMessage(const TrashResult &result)
{
    if (!result.errors.isEmpty())
        return QStringLiteral("Moved ") + QString::number(result.trashedCount) +
               QStringLiteral(" item(s) to Trash. Errors:\n") +
               result.errors.join(QLatin1Char('\n'));
    if (result.trashedCount >= 1)
        return QStringLiteral("Moved ") + QString::number(result.trashedCount) +
               QStringLiteral(" redundant local copy(s) to Trash.");
    return std::nullopt;
}
