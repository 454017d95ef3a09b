#include "model/MigrationRecord.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

namespace {

const SupportFolderRecord kFolder(QStringLiteral("/Users/a/Library/Editor"),
                                  QStringLiteral("/Volumes/Drive/Editor"),
                                  QStringLiteral("Editor (shared)"), true);

MigrationRecord sparseRecord()
{
    return MigrationRecord(QStringLiteral("2025-01-31T14:05:09Z"), QStringLiteral("Editor"),
                           std::nullopt, std::nullopt, QStringLiteral("/Applications/Editor.app"),
                           std::nullopt, false, QStringLiteral("copied"), {});
}

MigrationRecord fullRecord()
{
    return MigrationRecord(QStringLiteral("2025-01-31T14:05:09Z"), QStringLiteral("Editor"),
                           QStringLiteral("com.example.editor"), QStringLiteral("2.1"),
                           QStringLiteral("/Applications/Editor.app"),
                           QStringLiteral("/Volumes/Drive/Editor.app"), true,
                           QStringLiteral("restored"), QStringLiteral("2025-02-01T08:00:00Z"),
                           {kFolder, SupportFolderRecord(QStringLiteral("/Library/E"),
                                                         QStringLiteral("/Volumes/Drive/E"),
                                                         QStringLiteral("E"), false)});
}

TEST(MigrationRecordTest, RoundTripsWritingOnlyPresentKeys)
{
    EXPECT_EQ(MigrationRecord::fromJson(fullRecord().toJson()), fullRecord());
    EXPECT_EQ(fullRecord().toJson().size(), 10);
    const QJsonObject sparse = sparseRecord().toJson();
    EXPECT_EQ(MigrationRecord::fromJson(sparse), sparseRecord());
    EXPECT_EQ(sparse.keys(),
              QStringList({QStringLiteral("app_name"), QStringLiteral("app_original_path"),
                           QStringLiteral("moved_app"), QStringLiteral("status"),
                           QStringLiteral("support_folders"), QStringLiteral("timestamp")}));
    EXPECT_EQ(kFolder.toJson(), QJsonDocument::fromJson(R"json({"source":"/Users/a/Library/Editor",
                  "target":"/Volumes/Drive/Editor","display_name":"Editor (shared)",
                  "symlink_created":true})json")
                                    .object());
}

TEST(MigrationRecordTest, DecodesStrictly)
{
    QJsonObject folderWithoutFlag = kFolder.toJson();
    folderWithoutFlag.remove(QStringLiteral("symlink_created"));
    QJsonObject folderWithNullTarget = kFolder.toJson();
    folderWithNullTarget.insert(QStringLiteral("target"), QJsonValue::Null);
    struct Case
    {
        const char *key;
        QJsonValue value; // Undefined removes the key
        bool decodes;
    };
    const Case cases[] = {
        {"bundle_id", QJsonValue::Null, true},
        {"restored_at", QJsonValue::Null, true},
        {"version", 3, false},
        {"app_target_path", true, false},
        {"moved_app", QJsonValue::Undefined, false},
        {"moved_app", QStringLiteral("true"), false},
        {"status", QJsonValue::Null, false},
        {"status", QStringLiteral("completed"), true},
        {"timestamp", QJsonValue::Undefined, false},
        {"app_name", 7, false},
        {"app_original_path", QJsonValue::Undefined, false},
        {"support_folders", QJsonValue::Undefined, false},
        {"support_folders", QJsonObject(), false},
        {"support_folders", QJsonArray{kFolder.toJson()}, true},
        {"support_folders", QJsonArray{kFolder.toJson(), folderWithoutFlag}, false},
        {"support_folders", QJsonArray{folderWithNullTarget}, false},
        {"support_folders", QJsonArray{QStringLiteral("x")}, false},
        {"legacy_key", QStringLiteral("ignored and dropped"), true},
    };
    for (const Case &c : cases) {
        QJsonObject json = sparseRecord().toJson();
        if (c.value.isUndefined())
            json.remove(QLatin1String(c.key));
        else
            json.insert(QLatin1String(c.key), c.value);
        const std::optional<MigrationRecord> record = MigrationRecord::fromJson(json);
        ASSERT_EQ(record.has_value(), c.decodes) << c.key;
        if (record) {
            json.remove(QStringLiteral("legacy_key"));
            for (const char *nullable : {"bundle_id", "restored_at"}) {
                if (json.value(QLatin1String(nullable)).isNull())
                    json.remove(QLatin1String(nullable));
            }
            EXPECT_EQ(record->toJson(), json) << c.key;
        }
    }
}

TEST(MigrationRecordTest, OneBadRecordSpoilsTheList)
{
    QJsonArray array = MigrationRecord::listToJson({fullRecord(), sparseRecord()});
    EXPECT_EQ(MigrationRecord::listFromJson(array),
              QList<MigrationRecord>({fullRecord(), sparseRecord()}));
    array.append(QJsonObject());
    EXPECT_FALSE(MigrationRecord::listFromJson(array));
    EXPECT_FALSE(MigrationRecord::listFromJson(QJsonObject()));
}

TEST(MigrationRecordTest, IdentityAndEquality)
{
    EXPECT_EQ(sparseRecord().id(), QStringLiteral("2025-01-31T14:05:09Z_Editor"));
    EXPECT_EQ(sparseRecord().id(), fullRecord().id()); // same application, same second
    MigrationRecord swapped = fullRecord();
    EXPECT_EQ(qHash(swapped), qHash(fullRecord()));
    std::swap(swapped.supportFolders[0], swapped.supportFolders[1]);
    EXPECT_NE(swapped, fullRecord());
    MigrationRecord empty = sparseRecord();
    empty.bundleId = QString();
    EXPECT_NE(empty, sparseRecord()) << "an empty identifier is not an absent one";
}

} // namespace
