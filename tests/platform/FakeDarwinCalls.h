#pragma once

#include "base/PathUtils.h"
#include "platform/macos/DarwinCalls.h"

#include <QHash>
#include <QSet>

// Answers the Darwin calls from tables the test fills in.
class FakeDarwinCalls : public DarwinCalls
{
public:
    std::optional<QList<DarwinMount>> table = QList<DarwinMount>();
    QHash<qint32, QString> processes; // pid -> executable ("" when proc_pidpath fails)
    QSet<QString> hiddenFlags;
    QHash<QString, QString> bookmarks; // bookmark file -> resolved target
    QList<std::pair<QString, QString>> bookmarksWritten;
    bool bookmarkWriteSucceeds = true;
    QStringList logged;

    std::optional<QList<DarwinMount>> mounts() override { return table; }

    // As statfs: the mount with the deepest mount point above the resolved path. As on a
    // Mac, the folders that firmlinks carry from the read-only system volume "/" to the data
    // volume belong to the data volume, when the table has one.
    std::optional<DarwinMount> mountHolding(const QString &path) override
    {
        const QString resolved = PathUtils::resolved(path);
        std::optional<DarwinMount> found;
        std::optional<DarwinMount> dataVolume;
        for (const DarwinMount &mount : table.value_or(QList<DarwinMount>())) {
            if (mount.mountPoint == QLatin1String("/System/Volumes/Data"))
                dataVolume = mount;
            if (PathUtils::isSameOrInside(resolved, mount.mountPoint) &&
                (!found || mount.mountPoint.size() > found->mountPoint.size()))
                found = mount;
        }
        if (found && found->mountPoint == QLatin1String("/") && dataVolume) {
            for (const char *firmlink : {"/Applications", "/Library", "/Users", "/Volumes",
                                         "/private", "/opt", "/usr/local", "/cores"}) {
                if (PathUtils::isSameOrInside(resolved, QLatin1String(firmlink)))
                    return dataVolume;
            }
        }
        return found;
    }

    QList<qint32> userProcessIds() override { return processes.keys(); }
    QString processPath(qint32 pid) override { return processes.value(pid); }
    bool hasHiddenFlag(const QString &path) override { return hiddenFlags.contains(path); }

    std::optional<QString> resolveBookmarkFile(const QString &path) override
    {
        const auto found = bookmarks.constFind(path);
        return found == bookmarks.constEnd() ? std::nullopt : std::optional<QString>(*found);
    }

    bool writeBookmarkFile(const QString &targetPath, const QString &aliasPath) override
    {
        bookmarksWritten.append({targetPath, aliasPath});
        return bookmarkWriteSucceeds;
    }

    void log(const QByteArray &subsystem, const QByteArray &category, DarwinLogType type,
             const QByteArray &message) override
    {
        logged.append(QString::fromUtf8(subsystem + ' ' + category + ' ' +
                                        (type == DarwinLogType::error ? "error" : "notice") + ' ' +
                                        message));
    }
};
