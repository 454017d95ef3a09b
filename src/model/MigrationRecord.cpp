#include "model/MigrationRecord.h"

#include <QJsonValue>

namespace {

const QLatin1String kSource("source");
const QLatin1String kTarget("target");
const QLatin1String kDisplayName("display_name");
const QLatin1String kSymlinkCreated("symlink_created");

const QLatin1String kTimestamp("timestamp");
const QLatin1String kAppName("app_name");
const QLatin1String kBundleId("bundle_id");
const QLatin1String kVersion("version");
const QLatin1String kAppOriginalPath("app_original_path");
const QLatin1String kAppTargetPath("app_target_path");
const QLatin1String kMovedApp("moved_app");
const QLatin1String kStatus("status");
const QLatin1String kRestoredAt("restored_at");
const QLatin1String kSupportFolders("support_folders");

// A required text: present, not null, a string.
bool readText(const QJsonObject &object, QLatin1String key, QString &out)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

bool readBool(const QJsonObject &object, QLatin1String key, bool &out)
{
    const QJsonValue value = object.value(key);
    if (!value.isBool())
        return false;
    out = value.toBool();
    return true;
}

// An optional text: missing or null is absent; any other non-string fails.
bool readOptionalText(const QJsonObject &object, QLatin1String key, std::optional<QString> &out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull()) {
        out.reset();
        return true;
    }
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

void writeOptionalText(QJsonObject &object, QLatin1String key, const std::optional<QString> &text)
{
    if (text)
        object.insert(key, *text);
}

size_t hashOptional(const std::optional<QString> &text, size_t seed)
{
    return text ? qHashMulti(seed, true, *text) : qHashMulti(seed, false);
}

} // namespace

SupportFolderRecord::SupportFolderRecord(QString source, QString target, QString displayName,
                                         bool symlinkCreated)
    : source(std::move(source))
    , target(std::move(target))
    , displayName(std::move(displayName))
    , symlinkCreated(symlinkCreated)
{}

QJsonObject SupportFolderRecord::toJson() const
{
    QJsonObject object;
    object.insert(kSource, source);
    object.insert(kTarget, target);
    object.insert(kDisplayName, displayName);
    object.insert(kSymlinkCreated, symlinkCreated);
    return object;
}

std::optional<SupportFolderRecord> SupportFolderRecord::fromJson(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    SupportFolderRecord record;
    if (!readText(object, kSource, record.source) || !readText(object, kTarget, record.target) ||
        !readText(object, kDisplayName, record.displayName) ||
        !readBool(object, kSymlinkCreated, record.symlinkCreated))
        return std::nullopt;
    return record;
}

size_t qHash(const SupportFolderRecord &record, size_t seed) noexcept
{
    return qHashMulti(seed, record.source, record.target, record.displayName,
                      record.symlinkCreated);
}

MigrationRecord::MigrationRecord(QString timestamp, QString appName,
                                 std::optional<QString> bundleId, std::optional<QString> version,
                                 QString appOriginalPath, std::optional<QString> appTargetPath,
                                 bool movedApp, QString status,
                                 QList<SupportFolderRecord> supportFolders)
    : MigrationRecord(std::move(timestamp), std::move(appName), std::move(bundleId),
                      std::move(version), std::move(appOriginalPath), std::move(appTargetPath),
                      movedApp, std::move(status), std::nullopt, std::move(supportFolders))
{}

MigrationRecord::MigrationRecord(QString timestamp, QString appName,
                                 std::optional<QString> bundleId, std::optional<QString> version,
                                 QString appOriginalPath, std::optional<QString> appTargetPath,
                                 bool movedApp, QString status, std::optional<QString> restoredAt,
                                 QList<SupportFolderRecord> supportFolders)
    : timestamp(std::move(timestamp))
    , appName(std::move(appName))
    , bundleId(std::move(bundleId))
    , version(std::move(version))
    , appOriginalPath(std::move(appOriginalPath))
    , appTargetPath(std::move(appTargetPath))
    , movedApp(movedApp)
    , status(std::move(status))
    , restoredAt(std::move(restoredAt))
    , supportFolders(std::move(supportFolders))
{}

QString MigrationRecord::id() const
{
    return timestamp + QLatin1Char('_') + appName;
}

QJsonObject MigrationRecord::toJson() const
{
    QJsonObject object;
    object.insert(kTimestamp, timestamp);
    object.insert(kAppName, appName);
    writeOptionalText(object, kBundleId, bundleId);
    writeOptionalText(object, kVersion, version);
    object.insert(kAppOriginalPath, appOriginalPath);
    writeOptionalText(object, kAppTargetPath, appTargetPath);
    object.insert(kMovedApp, movedApp);
    object.insert(kStatus, status);
    writeOptionalText(object, kRestoredAt, restoredAt);
    QJsonArray folders;
    for (const SupportFolderRecord &folder : supportFolders)
        folders.append(folder.toJson());
    object.insert(kSupportFolders, folders);
    return object;
}

std::optional<MigrationRecord> MigrationRecord::fromJson(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    MigrationRecord record;
    const bool fieldsOk = readText(object, kTimestamp, record.timestamp) &&
                          readText(object, kAppName, record.appName) &&
                          readOptionalText(object, kBundleId, record.bundleId) &&
                          readOptionalText(object, kVersion, record.version) &&
                          readText(object, kAppOriginalPath, record.appOriginalPath) &&
                          readOptionalText(object, kAppTargetPath, record.appTargetPath) &&
                          readBool(object, kMovedApp, record.movedApp) &&
                          readText(object, kStatus, record.status) &&
                          readOptionalText(object, kRestoredAt, record.restoredAt);
    if (!fieldsOk)
        return std::nullopt;
    const QJsonValue folders = object.value(kSupportFolders);
    if (!folders.isArray())
        return std::nullopt;
    const QJsonArray elements = folders.toArray();
    record.supportFolders.reserve(elements.size());
    for (const QJsonValue &element : elements) {
        std::optional<SupportFolderRecord> folder = SupportFolderRecord::fromJson(element);
        if (!folder)
            return std::nullopt;
        record.supportFolders.append(std::move(*folder));
    }
    return record;
}

QJsonArray MigrationRecord::listToJson(const QList<MigrationRecord> &records)
{
    QJsonArray array;
    for (const MigrationRecord &record : records)
        array.append(record.toJson());
    return array;
}

std::optional<QList<MigrationRecord>> MigrationRecord::listFromJson(const QJsonValue &value)
{
    if (!value.isArray())
        return std::nullopt;
    const QJsonArray elements = value.toArray();
    QList<MigrationRecord> records;
    records.reserve(elements.size());
    for (const QJsonValue &element : elements) {
        std::optional<MigrationRecord> record = fromJson(element);
        if (!record)
            return std::nullopt;
        records.append(std::move(*record));
    }
    return records;
}

size_t qHash(const MigrationRecord &record, size_t seed) noexcept
{
    seed = qHashMulti(seed, record.timestamp, record.appName);
    seed = hashOptional(record.bundleId, seed);
    seed = hashOptional(record.version, seed);
    seed = qHashMulti(seed, record.appOriginalPath);
    seed = hashOptional(record.appTargetPath, seed);
    seed = qHashMulti(seed, record.movedApp, record.status);
    seed = hashOptional(record.restoredAt, seed);
    return qHashRange(record.supportFolders.cbegin(), record.supportFolders.cend(), seed);
}
