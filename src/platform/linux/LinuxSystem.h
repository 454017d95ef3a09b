#pragma once

#include "platform/System.h"
#include "platform/linux/LinuxAdminShell.h"
#include "platform/linux/LinuxBundleServices.h"
#include "platform/linux/LinuxEjectTools.h"
#include "platform/linux/LinuxFileResources.h"
#include "platform/linux/LinuxFinder.h"
#include "platform/linux/LinuxPreferences.h"
#include "platform/linux/LinuxStorage.h"
#include "platform/linux/LinuxSystemLog.h"
#include "platform/linux/LinuxVolumeService.h"
#include "platform/linux/LinuxWorkspace.h"

// The backend of this Linux build: macOS locations mapped onto the machine.
class LinuxSystem : public System
{
public:
    [[nodiscard]] SystemPaths paths() const override;
    [[nodiscard]] SystemLog &systemLog() override { return m_systemLog; }
    [[nodiscard]] AdminShell &adminShell() override { return m_adminShell; }
    [[nodiscard]] Finder &finder() override { return m_finder; }
    [[nodiscard]] QStringList copyToolArguments(const QString &source,
                                                const QString &destination) const override;
    [[nodiscard]] CopyToolHabits copyToolHabits() const override;
    [[nodiscard]] QString treeRemovalCommand() const override;
    [[nodiscard]] bool isWritable(const QString &path) const override;
    [[nodiscard]] Workspace &workspace() override { return m_workspace; }
    [[nodiscard]] FileResources &fileResources() override { return m_fileResources; }
    [[nodiscard]] VolumeService &volumes() override { return m_volumes; }
    [[nodiscard]] EjectTools &ejectTools() override { return m_ejectTools; }
    [[nodiscard]] Preferences &preferences() override { return m_preferences; }
    [[nodiscard]] BundleServices &bundleServices() override { return m_bundleServices; }
    [[nodiscard]] Storage &storage() override { return m_storage; }

private:
    LinuxSystemLog m_systemLog;
    LinuxAdminShell m_adminShell;
    LinuxFinder m_finder;
    LinuxWorkspace m_workspace;
    LinuxFileResources m_fileResources;
    LinuxVolumeService m_volumes;
    LinuxEjectTools m_ejectTools;
    LinuxPreferences m_preferences;
    LinuxBundleServices m_bundleServices;
    LinuxStorage m_storage;
};
