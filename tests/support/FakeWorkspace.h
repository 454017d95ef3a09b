#pragma once

#include "base/PathUtils.h"
#include "platform/Workspace.h"

#include <QDir>
#include <QSet>
#include <QStringList>
#include <memory>
#include <mutex>

// Running applications as the test sets them; the Trash is a folder of the sandbox. Every
// Trash request is recorded; paths listed with failTrash() are refused.
class FakeWorkspace : public Workspace
{
public:
    explicit FakeWorkspace(QString trashFolder = {})
        : m_trashFolder(std::move(trashFolder))
    {}

    QStringList runningApplicationBundles() override
    {
        const std::lock_guard lock(m_mutex);
        return m_running;
    }

    Verdict moveToTrash(const QString &path) override
    {
        const std::lock_guard lock(m_mutex);
        m_trashRequests.append(path);
        if (m_refusedTrash.contains(path))
            return Verdict::fail(QStringLiteral("The Trash refused '%1'").arg(path));
        if (!PathUtils::existsNoFollow(path) || m_trashFolder.isEmpty())
            return Verdict::fail(QStringLiteral("Nothing to trash at '%1'").arg(path));
        QDir().mkpath(m_trashFolder);
        // Like the desktop, never overwrite an earlier item of the same name.
        const QString name = PathUtils::lastComponent(path);
        QString destination = PathUtils::join(m_trashFolder, name);
        for (int n = 2; PathUtils::existsNoFollow(destination); ++n)
            destination =
                PathUtils::join(m_trashFolder, name + QLatin1Char(' ') + QString::number(n));
        if (!QDir().rename(path, destination))
            return Verdict::fail(QStringLiteral("Could not move '%1' to the Trash").arg(path));
        return Verdict::pass();
    }

    // The Trash's records of items the administrator moved there: none, unless the test
    // hands over a desktop's workspace that keeps them.
    bool isTrashNameTaken(const QString &trashedPath) override
    {
        return m_trashRecords ? m_trashRecords->isTrashNameTaken(trashedPath)
                              : Workspace::isTrashNameTaken(trashedPath);
    }
    Verdict recordTrashArrival(const QString &originalPath, const QString &trashedPath) override
    {
        return m_trashRecords ? m_trashRecords->recordTrashArrival(originalPath, trashedPath)
                              : Verdict::pass();
    }
    void forgetTrashArrival(const QString &trashedPath) override
    {
        if (m_trashRecords)
            m_trashRecords->forgetTrashArrival(trashedPath);
    }
    void keepTrashRecordsWith(std::shared_ptr<Workspace> desktop)
    {
        m_trashRecords = std::move(desktop);
    }

    void setRunningApplicationBundles(QStringList bundles)
    {
        const std::lock_guard lock(m_mutex);
        m_running = std::move(bundles);
    }
    void setTrashFolder(QString folder)
    {
        const std::lock_guard lock(m_mutex);
        m_trashFolder = std::move(folder);
    }
    void failTrash(const QString &path)
    {
        const std::lock_guard lock(m_mutex);
        m_refusedTrash.insert(path);
    }
    [[nodiscard]] QStringList trashRequests() const
    {
        const std::lock_guard lock(m_mutex);
        return m_trashRequests;
    }

    // One entry per reveal request, the paths as given.
    void reveal(const QStringList &paths) override
    {
        const std::lock_guard lock(m_mutex);
        m_revealRequests.append(paths);
    }
    [[nodiscard]] QList<QStringList> revealRequests() const
    {
        const std::lock_guard lock(m_mutex);
        return m_revealRequests;
    }

    // Opening and quitting are only recorded: a quit request leaves the running list as the
    // test set it, as an application that ignores the request would.
    void open(const QString &path) override
    {
        const std::lock_guard lock(m_mutex);
        m_openRequests.append(path);
    }
    [[nodiscard]] QStringList openRequests() const
    {
        const std::lock_guard lock(m_mutex);
        return m_openRequests;
    }
    void requestQuit(const QString &bundlePath) override
    {
        const std::lock_guard lock(m_mutex);
        m_quitRequests.append(bundlePath);
    }
    [[nodiscard]] QStringList quitRequests() const
    {
        const std::lock_guard lock(m_mutex);
        return m_quitRequests;
    }

private:
    mutable std::mutex m_mutex;
    QString m_trashFolder;
    QStringList m_running;
    QSet<QString> m_refusedTrash;
    QStringList m_trashRequests;
    QList<QStringList> m_revealRequests;
    QStringList m_openRequests;
    QStringList m_quitRequests;
    std::shared_ptr<Workspace> m_trashRecords;
};
