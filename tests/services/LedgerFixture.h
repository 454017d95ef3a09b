#pragma once

// Shared by the ledger's tests: records by name and second, their files read and written, and a
// sandbox with the paths of the ledgers in it.

#include "model/MigrationRecord.h"
#include "support/Sandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace LedgerTesting {

using Records = QList<MigrationRecord>;

inline MigrationRecord record(const char *name, const char *second, const char *status = "active")
{
    const QString app = QString::fromLatin1(name);
    return MigrationRecord(QStringLiteral("2025-01-01T00:00:%1Z").arg(QLatin1String(second)), app,
                           std::nullopt, std::nullopt,
                           QStringLiteral("/Applications/%1.app").arg(app),
                           QStringLiteral("/Volumes/Drive/%1.app").arg(app),
                           qstrcmp(status, "active") == 0, QString::fromLatin1(status), {});
}

inline QByteArray encode(const Records &records)
{
    return QJsonDocument(MigrationRecord::listToJson(records)).toJson(QJsonDocument::Compact);
}

inline QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The bytes of a file, or "<fifo>" for a FIFO, which is not opened.
inline QByteArray contentOf(const QString &path)
{
    struct stat info
    {};
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISFIFO(info.st_mode))
        return "<fifo>";
    return bytesOf(path);
}

inline std::optional<Records> decodeFile(const QString &path)
{
    return MigrationRecord::listFromJson(QJsonDocument::fromJson(bytesOf(path)).array());
}

// "A:active B:copied", readable in a failure message; sorted where order does not matter.
inline std::string names(const std::optional<Records> &records, bool sorted = false)
{
    QStringList out;
    for (const MigrationRecord &r : records.value_or(Records()))
        out.append(r.appName + QLatin1Char(':') + r.status);
    if (sorted)
        out.sort();
    return out.join(QLatin1Char(' ')).toStdString();
}

// The names of the records the home folder still owes a drive ledger.
inline QStringList owedNames(const QString &withdrawals)
{
    QStringList names;
    for (const QJsonValue &entry : QJsonDocument::fromJson(bytesOf(withdrawals)).array())
        names.append(entry[QLatin1String("record")][QLatin1String("app_name")].toString());
    return names;
}

class LedgerFixture : public ::testing::Test
{
protected:
    QString local() const
    {
        return sandbox.home() + QStringLiteral("/.config/korvanthelix/migration_ledger.json");
    }
    QString rebuild() const
    {
        return sandbox.home() +
               QStringLiteral("/.config/korvanthelix/rebuild_migration_ledger.json");
    }
    QString drive() const { return sandbox.drive() + QStringLiteral("/.korvanthelix_ledger.json"); }
    // A home with no ledger yet and a mounted drive without one, for the next row of a table.
    void startAfresh()
    {
        QDir(sandbox.home() + QStringLiteral("/.config")).removeRecursively();
        QFile::remove(drive());
        sandbox.mountDrive(sandbox.drive());
    }
    QString withdrawals() const
    {
        return sandbox.home() + QStringLiteral("/.config/korvanthelix/withdrawn_migrations.json");
    }
    // The copies a ledger set aside next to `path`.
    QStringList setAside(const QString &path) const
    {
        const QFileInfo info(path);
        return QDir(info.absolutePath())
            .entryList({info.fileName() + QStringLiteral(".unreadable-*")},
                       QDir::Hidden | QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    }

    Sandbox sandbox;
};

} // namespace LedgerTesting
