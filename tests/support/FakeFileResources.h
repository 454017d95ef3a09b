#pragma once

#include "base/PathUtils.h"
#include "platform/FileResources.h"

#include <QHash>
#include <mutex>
#include <sys/stat.h>

// Resource values on the sandbox: symbolic links read as aliases (as on a Mac), packages are
// folders with a bundle extension, hidden items start with ".". A test adds Finder aliases:
// any file can be declared one, with or without a reachable destination.
class FakeFileResources : public FileResources
{
public:
    bool isPackage(const QString &path) override
    {
        static const QStringList extensions = {
            QStringLiteral("app"),    QStringLiteral("bundle"), QStringLiteral("framework"),
            QStringLiteral("plugin"), QStringLiteral("appex"),  QStringLiteral("xpc")};
        return PathUtils::isDirectoryNoFollow(path) &&
               extensions.contains(PathUtils::extension(path), Qt::CaseInsensitive);
    }

    bool isHidden(const QString &path) override
    {
        return PathUtils::lastComponent(path).startsWith(QLatin1Char('.'));
    }

    std::optional<bool> isAliasFile(const QString &path) override
    {
        {
            const std::lock_guard lock(m_mutex);
            if (m_aliases.contains(path))
                return true;
        }
        // Outside the lock, as a scan asks from many threads at once.
        struct stat info
        {};
        if (::lstat(path.toLocal8Bit().constData(), &info) != 0)
            return std::nullopt;
        return S_ISLNK(info.st_mode);
    }

    std::optional<QString> resolveAliasFile(const QString &path) override
    {
        const std::lock_guard lock(m_mutex);
        const auto alias = m_aliases.constFind(path);
        if (alias == m_aliases.constEnd() || !*alias || !PathUtils::existsFollowingLinks(**alias))
            return std::nullopt;
        return *alias;
    }

    // The machine's own answer, unless the test declared a flag for `path`.
    std::optional<QString> removalLock(const QString &path) override
    {
        {
            const std::lock_guard lock(m_mutex);
            if (const auto declared = m_locks.constFind(path); declared != m_locks.constEnd())
                return *declared;
        }
        return platformRemovalLock(path);
    }
    void setRemovalLock(const QString &path, const QString &flag)
    {
        const std::lock_guard lock(m_mutex);
        m_locks.insert(path, flag);
    }

    // Declares the file at `path` a Finder alias of `destination`; nothing, or a
    // destination that does not exist, makes it one that cannot be resolved.
    void addAlias(const QString &path, std::optional<QString> destination)
    {
        const std::lock_guard lock(m_mutex);
        m_aliases.insert(path, std::move(destination));
    }

private:
    std::mutex m_mutex;
    QHash<QString, std::optional<QString>> m_aliases;
    QHash<QString, QString> m_locks;
};
