#pragma once

#include "base/PathUtils.h"
#include "platform/System.h"
#include "support/FakeAdminShell.h"
#include "support/FakeBundleServices.h"
#include "support/FakeEjectTools.h"
#include "support/FakeFileResources.h"
#include "support/FakeFinder.h"
#include "support/FakePreferences.h"
#include "support/FakeVolumeService.h"
#include "support/FakeWorkspace.h"
#include "support/RecordingSystemLog.h"

#include <QSet>
#include <functional>
#include <mutex>
#include <unistd.h>

// A System whose answers the test sets. Every service a test does not set behaves like an
// empty, well-mannered machine.
class FakeSystem : public System
{
public:
    explicit FakeSystem(SystemPaths paths)
        : m_paths(std::move(paths))
    {}

    [[nodiscard]] SystemPaths paths() const override { return m_paths; }
    void setPaths(SystemPaths paths)
    {
        m_paths = std::move(paths);
        m_workspace->setTrashFolder(m_paths.trash);
    }

    // Declines every command until the test says otherwise.
    [[nodiscard]] AdminShell &adminShell() override { return *m_adminShell; }
    [[nodiscard]] FakeAdminShell &fakeAdminShell() { return *m_adminShell; }
    // Makes no aliases until the test says otherwise.
    [[nodiscard]] Finder &finder() override { return *m_finder; }
    [[nodiscard]] FakeFinder &fakeFinder() { return *m_finder; }

    // The machine's own copy tool unless a test installs another.
    [[nodiscard]] QStringList copyToolArguments(const QString &source,
                                                const QString &destination) const override
    {
        return m_copyTool ? m_copyTool(source, destination)
                          : platformCopyToolArguments(source, destination);
    }
    void setCopyTool(std::function<QStringList(const QString &, const QString &)> tool)
    {
        m_copyTool = std::move(tool);
    }
    [[nodiscard]] CopyToolHabits copyToolHabits() const override
    {
        return platformCopyToolHabits();
    }
    // The machine's own, which a test's stand-in administrator really runs.
    [[nodiscard]] QString treeRemovalCommand() const override
    {
        return platformTreeRemovalCommand();
    }

    // The real test, except for paths a test declared read-only: tests run as root in CI,
    // where the real test says yes to everything.
    [[nodiscard]] bool isWritable(const QString &path) const override
    {
        {
            const std::lock_guard lock(m_readOnlyMutex);
            if (m_readOnly.contains(PathUtils::standardized(path)))
                return false;
        }
        return !path.isEmpty() && ::access(path.toLocal8Bit().constData(), W_OK) == 0;
    }
    void setReadOnly(const QString &path, bool readOnly = true)
    {
        const std::lock_guard lock(m_readOnlyMutex);
        if (readOnly)
            m_readOnly.insert(PathUtils::standardized(path));
        else
            m_readOnly.remove(PathUtils::standardized(path));
    }

    [[nodiscard]] SystemLog &systemLog() override { return *m_systemLog; }
    [[nodiscard]] RecordingSystemLog &recordingSystemLog() { return *m_systemLog; }

    [[nodiscard]] Workspace &workspace() override { return *m_workspace; }
    [[nodiscard]] FakeWorkspace &fakeWorkspace() { return *m_workspace; }
    [[nodiscard]] FileResources &fileResources() override { return *m_fileResources; }
    [[nodiscard]] FakeFileResources &fakeFileResources() { return *m_fileResources; }
    // Records signing, registration and comments; carries no launcher unless given one.
    [[nodiscard]] BundleServices &bundleServices() override { return *m_bundleServices; }
    [[nodiscard]] FakeBundleServices &fakeBundleServices() { return *m_bundleServices; }
    // No volumes mounted until the test describes some, or installs a real service.
    [[nodiscard]] VolumeService &volumes() override
    {
        return m_realVolumes ? *m_realVolumes : *m_volumes;
    }
    // Answers volume questions with `service` (the platform's own, for tests on real mounts)
    // instead of fakeVolumes(); set before anything asks.
    void useVolumeService(std::shared_ptr<VolumeService> service)
    {
        m_realVolumes = std::move(service);
    }
    [[nodiscard]] FakeVolumeService &fakeVolumes() { return *m_volumes; }
    // A successful unmount takes the volume out of fakeVolumes(), as on a machine.
    [[nodiscard]] EjectTools &ejectTools() override { return *m_ejectTools; }
    [[nodiscard]] FakeEjectTools &fakeEjectTools() { return *m_ejectTools; }
    // Empty at the start; kept in memory.
    [[nodiscard]] Preferences &preferences() override { return *m_preferences; }
    [[nodiscard]] FakePreferences &fakePreferences() { return *m_preferences; }
    // The platform's own flush and read-back, on the files the test writes, unless a test
    // installs another (set before anything asks).
    [[nodiscard]] Storage &storage() override { return *m_storage; }
    void useStorage(std::shared_ptr<Storage> storage) { m_storage = std::move(storage); }

private:
    SystemPaths m_paths;
    std::shared_ptr<RecordingSystemLog> m_systemLog = std::make_shared<RecordingSystemLog>();
    std::shared_ptr<FakeAdminShell> m_adminShell = std::make_shared<FakeAdminShell>();
    std::shared_ptr<FakeFinder> m_finder = std::make_shared<FakeFinder>();
    std::function<QStringList(const QString &, const QString &)> m_copyTool;
    mutable std::mutex m_readOnlyMutex;
    QSet<QString> m_readOnly;
    std::shared_ptr<FakeWorkspace> m_workspace = std::make_shared<FakeWorkspace>(m_paths.trash);
    std::shared_ptr<FakeFileResources> m_fileResources = std::make_shared<FakeFileResources>();
    std::shared_ptr<FakeBundleServices> m_bundleServices = std::make_shared<FakeBundleServices>();
    std::shared_ptr<FakeVolumeService> m_volumes = std::make_shared<FakeVolumeService>();
    std::shared_ptr<VolumeService> m_realVolumes;
    std::shared_ptr<FakeEjectTools> m_ejectTools = [volumes = m_volumes] {
        auto tools = std::make_shared<FakeEjectTools>();
        tools->onUnmounted = [volumes](const QString &path) { volumes->removeVolume(path); };
        return tools;
    }();
    std::shared_ptr<FakePreferences> m_preferences = std::make_shared<FakePreferences>();
    std::shared_ptr<Storage> m_storage = makePlatformStorage();
};
