#include "e2e/SandboxChecks.h"

#include "platform/linux/MountTable.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace SandboxChecks {

std::optional<MigrationRecord> lastLedgerRecord(const QString &ledgerPath, const QString &appPath)
{
    QFile file(ledgerPath);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const std::optional<QList<MigrationRecord>> records =
        MigrationRecord::listFromJson(QJsonDocument::fromJson(file.readAll()).array());
    if (!records)
        return std::nullopt;
    for (auto record = records->crbegin(); record != records->crend(); ++record) {
        if (record->appOriginalPath == appPath)
            return *record;
    }
    return std::nullopt;
}

bool isMounted(const QString &mountPoint)
{
    const std::optional<QList<MountEntry>> table = MountTable::read();
    return table && MountTable::at(*table, mountPoint).has_value();
}

QStringList leftoversBelow(const QString &folder)
{
    const QString canonical = QDir(folder).canonicalPath();
    const QString prefix =
        (canonical.isEmpty() ? QDir::cleanPath(folder) : canonical) + QLatin1Char('/');
    QStringList found;
    if (const std::optional<QList<MountEntry>> table = MountTable::read()) {
        for (const MountEntry &entry : *table) {
            if (QString(entry.mountPoint + QLatin1Char('/')).startsWith(prefix))
                found.append(QStringLiteral("mount ") + entry.mountPoint);
        }
    }
    // A loop device names its image in sysfs, " (deleted)" appended once the file is gone.
    const QDir blocks(QStringLiteral("/sys/block"));
    for (const QString &device : blocks.entryList({QStringLiteral("loop*")}, QDir::Dirs)) {
        QFile backing(blocks.filePath(device + QStringLiteral("/loop/backing_file")));
        if (!backing.open(QIODevice::ReadOnly))
            continue;
        const QString image = QString::fromLocal8Bit(backing.readAll().trimmed());
        if (image.startsWith(prefix))
            found.append(QStringLiteral("/dev/") + device + QStringLiteral(" on ") + image);
    }
    return found;
}

} // namespace SandboxChecks
