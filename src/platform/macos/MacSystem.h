#pragma once

#include "platform/System.h"
#include "platform/macos/DarwinCalls.h"
#include "platform/macos/MacAdminShell.h"
#include "platform/macos/MacBundleServices.h"
#include "platform/macos/MacEjectTools.h"
#include "platform/macos/MacFileResources.h"
#include "platform/macos/MacFinder.h"
#include "platform/macos/MacPreferences.h"
#include "platform/macos/MacStorage.h"
#include "platform/macos/MacSystemLog.h"
#include "platform/macos/MacVolumeService.h"
#include "platform/macos/MacWorkspace.h"

// The backend of a Mac: the literal system locations, and every service made from the
// system's tools and the few Darwin calls in `darwin`.
class MacSystem : public System
{
public:
    explicit MacSystem(std::shared_ptr<DarwinCalls> darwin);

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
    MacSystemLog m_systemLog;
    MacAdminShell m_adminShell;
    MacFinder m_finder;
    MacWorkspace m_workspace;
    MacFileResources m_fileResources;
    MacVolumeService m_volumes;
    MacEjectTools m_ejectTools;
    MacPreferences m_preferences;
    MacBundleServices m_bundleServices;
    MacStorage m_storage;
};
