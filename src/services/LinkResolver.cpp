#include "services/LinkResolver.h"

#include "base/PathUtils.h"
#include "base/PlistFile.h"
#include "platform/System.h"
#include "platform/VolumeService.h"

#include <QDateTime>
#include <QDir>

namespace {

// Names in a folder, hidden ones included, in a stable order; nothing when it cannot be
// listed.
std::optional<QStringList> listNames(const QString &folder)
{
    QDir dir(folder);
    if (!dir.exists())
        return std::nullopt;
    return dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDir::Name);
}

// `known` is the item's own Info.plist when already read.
std::optional<QString> rawTarget(const QString &path, const std::optional<QVariantMap> *known)
{
    if (PathUtils::isSymlink(path))
        return PathUtils::linkText(path);
    FileResources &resources = System::current().fileResources();
    if (resources.isAliasFile(path).value_or(false))
        return resources.resolveAliasFile(path);
    const std::optional<QVariantMap> info =
        known ? *known : PlistFile::readDictionary(path + QStringLiteral("/Contents/Info.plist"));
    if (!info)
        return std::nullopt;
    const QVariant target = info->value(QStringLiteral("TargetAppPath"));
    if (target.typeId() != QMetaType::QString)
        return std::nullopt;
    return target.toString();
}

// A relative destination that does not exist beside the item is looked for where an older
// layout kept Intel builds, beside the item and on every drive.
QString resolveRelative(const QString &itemPath, const QString &raw)
{
    const QString folder = PathUtils::parentPath(itemPath);
    const QString beside = PathUtils::standardized(folder + QLatin1Char('/') + raw);
    if (PathUtils::existsFollowingLinks(beside))
        return beside;
    const QString name = PathUtils::lastComponent(raw);
    const QString intel = QStringLiteral("Intel Apps");
    QStringList candidates = {
        folder + QLatin1Char('/') + intel + QLatin1Char('/') + intel + QLatin1Char('/') + name,
        folder + QLatin1Char('/') + intel + QLatin1Char('/') + name,
    };
    const QString volumesRoot = System::current().paths().volumesRoot;
    if (const std::optional<QStringList> volumes = listNames(volumesRoot)) {
        for (const QString &volume : *volumes) {
            const QString applications =
                volumesRoot + QLatin1Char('/') + volume + QStringLiteral("/Applications");
            candidates << applications + QStringLiteral("/Intel Apps/Intel Apps/") + name
                       << applications + QStringLiteral("/Intel Apps/") + name
                       << applications + QLatin1Char('/') + name;
        }
    }
    for (const QString &candidate : std::as_const(candidates)) {
        if (PathUtils::existsFollowingLinks(candidate))
            return candidate;
    }
    return beside;
}

// Newer first by the moment recorded; texts that do not parse compare as text.
bool isLater(const QString &candidate, const QString &current)
{
    const QDateTime a = QDateTime::fromString(candidate, Qt::ISODate);
    const QDateTime b = QDateTime::fromString(current, Qt::ISODate);
    if (a.isValid() && b.isValid())
        return a > b;
    return candidate > current;
}

// Where `raw`, the destination as the item gives it, leads.
LinkResolution resolveFrom(const QString &path, const std::optional<QString> &raw)
{
    if (!raw)
        return {};
    QString current = raw->startsWith(QLatin1Char('/')) ? *raw : resolveRelative(path, *raw);
    for (int hop = 0; hop < LinkResolver::maxLinkHops; ++hop) {
        const std::optional<QString> next = PathUtils::linkText(current);
        if (!next)
            break;
        current = PathUtils::standardized(next->startsWith(QLatin1Char('/'))
                                              ? *next
                                              : PathUtils::parentPath(current) + QLatin1Char('/') +
                                                    *next);
    }
    return {true, current};
}

} // namespace

namespace LinkResolver {

LinkResolution resolveLinkTarget(const QString &path)
{
    return resolveFrom(path, rawTarget(path, nullptr));
}

LinkResolution resolveLinkTarget(const QString &path, const std::optional<QVariantMap> &info)
{
    return resolveFrom(path, rawTarget(path, &info));
}

QStringList externalVolumes()
{
    System &system = System::current();
    const QString volumesRoot = system.paths().volumesRoot;
    const std::optional<QStringList> names = listNames(volumesRoot);
    if (!names)
        return {};
    const QString resolvedRoot = PathUtils::resolved(QStringLiteral("/"));
    QStringList volumes;
    for (const QString &name : *names) {
        const QString entry = volumesRoot + QLatin1Char('/') + name;
        if (system.fileResources().isHidden(entry))
            continue;
        if (isExternalVolume(entry, resolvedRoot))
            volumes << entry;
    }
    return volumes;
}

bool isExternalVolume(const QString &entry, const QString &resolvedRoot)
{
    const QString resolved = PathUtils::resolved(entry);
    if (resolved == QLatin1String("/") || resolved == resolvedRoot)
        return false;
    if (entry.startsWith(QLatin1String("/System")))
        return false;
    if (PathUtils::lastComponent(entry) == QLatin1String("Recovery"))
        return false;
    const std::optional<VolumeResourceValues> values =
        System::current().volumes().resourceValues(entry);
    return !values || !values->isInternal.value_or(false);
}

std::optional<MigrationRecord> ledgerRecord(const QString &path,
                                            const QList<MigrationRecord> &records)
{
    const QString standardized = PathUtils::standardized(path);
    const MigrationRecord *best = nullptr;
    for (const MigrationRecord &record : records) {
        if (record.appOriginalPath != path && record.appOriginalPath != standardized)
            continue;
        if (!best || isLater(record.timestamp, best->timestamp))
            best = &record;
    }
    if (!best)
        return std::nullopt;
    return *best;
}

std::optional<QString> findExternalCopy(const QString &path,
                                        const std::optional<QString> &subfolderPath,
                                        const std::optional<MigrationRecord> &record,
                                        const QStringList &volumes)
{
    if (record && record->appOriginalPath == path && record->appTargetPath &&
        !record->appTargetPath->isEmpty() &&
        PathUtils::existsFollowingLinks(*record->appTargetPath))
        return *record->appTargetPath;
    // Resolved only once a candidate exists: most applications have no copy.
    std::optional<QString> local;
    const QString name = PathUtils::lastComponent(path);
    for (const QString &volume : volumes) {
        QString candidate = volume + QStringLiteral("/Applications");
        if (subfolderPath && !subfolderPath->isEmpty())
            candidate += QLatin1Char('/') + *subfolderPath;
        candidate += QLatin1Char('/') + name;
        if (!PathUtils::existsFollowingLinks(candidate))
            continue;
        if (!local)
            local = PathUtils::resolved(path);
        if (PathUtils::resolved(candidate) != *local)
            return candidate;
    }
    return std::nullopt;
}

} // namespace LinkResolver
