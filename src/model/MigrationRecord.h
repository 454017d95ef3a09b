#pragma once

#include <QHashFunctions>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

// The status texts the ledger writes and looks for. Comparisons are exact; older entries may
// carry "completed", which no operation looks for.
namespace MigrationStatus {
[[nodiscard]] inline QString active()
{
    return QStringLiteral("active");
}
[[nodiscard]] inline QString copied()
{
    return QStringLiteral("copied");
}
[[nodiscard]] inline QString restored()
{
    return QStringLiteral("restored");
}
[[nodiscard]] inline QString completed()
{
    return QStringLiteral("completed");
}
} // namespace MigrationStatus

// One support folder transferred with an application, nested in its ledger entry.
struct SupportFolderRecord
{
    QString source; // the folder on the Mac
    QString target; // its copy on the drive
    QString displayName;
    bool symlinkCreated = false; // the local folder became a link to `target`

    SupportFolderRecord() = default;
    SupportFolderRecord(QString source, QString target, QString displayName, bool symlinkCreated);

    // All four keys, always.
    [[nodiscard]] QJsonObject toJson() const;
    // All four keys are required with their JSON types; nothing on any deviation.
    [[nodiscard]] static std::optional<SupportFolderRecord> fromJson(const QJsonValue &value);

    friend bool operator==(const SupportFolderRecord &, const SupportFolderRecord &) = default;
};

[[nodiscard]] size_t qHash(const SupportFolderRecord &record, size_t seed = 0) noexcept;

// One entry of the migration ledger: what went where, when, and what became of it.
// Timestamps are ISO 8601 texts in UTC with whole seconds ("2025-01-31T14:05:09Z"), stored
// and compared as text.
struct MigrationRecord
{
    QString timestamp;
    QString appName;
    std::optional<QString> bundleId;
    std::optional<QString> version;
    QString appOriginalPath;
    std::optional<QString> appTargetPath;
    bool movedApp = false; // the local application was replaced; false for a backup copy
    QString status;        // see MigrationStatus
    std::optional<QString> restoredAt;
    QList<SupportFolderRecord> supportFolders; // in the order they were processed

    MigrationRecord() = default;
    // `restoredAt` starts absent.
    MigrationRecord(QString timestamp, QString appName, std::optional<QString> bundleId,
                    std::optional<QString> version, QString appOriginalPath,
                    std::optional<QString> appTargetPath, bool movedApp, QString status,
                    QList<SupportFolderRecord> supportFolders);
    MigrationRecord(QString timestamp, QString appName, std::optional<QString> bundleId,
                    std::optional<QString> version, QString appOriginalPath,
                    std::optional<QString> appTargetPath, bool movedApp, QString status,
                    std::optional<QString> restoredAt, QList<SupportFolderRecord> supportFolders);

    // Identity for lists and for deleting one entry: timestamp + "_" + appName. Two records of
    // one application made within the same second share it.
    [[nodiscard]] QString id() const;

    // Absent optionals are omitted, never written as null.
    [[nodiscard]] QJsonObject toJson() const;
    // Strict: a required key missing or null, or any known key of the wrong JSON type, or one
    // bad support folder, gives nothing. Unknown keys are ignored.
    [[nodiscard]] static std::optional<MigrationRecord> fromJson(const QJsonValue &value);

    // A ledger file's content: an array of records. One bad element spoils the whole array.
    [[nodiscard]] static QJsonArray listToJson(const QList<MigrationRecord> &records);
    [[nodiscard]] static std::optional<QList<MigrationRecord>>
    listFromJson(const QJsonValue &value);

    friend bool operator==(const MigrationRecord &, const MigrationRecord &) = default;
};

[[nodiscard]] size_t qHash(const MigrationRecord &record, size_t seed = 0) noexcept;
