#pragma once

#include "platform/BundleServices.h"
#include "platform/Workspace.h"
#include "platform/macos/DarwinCalls.h"

#include <optional>

// Running applications from the process table (a translocated one where it was started), the
// Trash through Qt (the file manager's own trashing on a Mac), and Finder, opening and quitting
// through open and the script runner, started detached.
class MacWorkspace : public Workspace
{
public:
    explicit MacWorkspace(std::shared_ptr<DarwinCalls> darwin);

    [[nodiscard]] QStringList runningApplicationBundles() override;
    void reveal(const QStringList &paths) override;
    void open(const QString &path) override;
    // Asks every running application with the bundle's identifier to quit, as the Dock's
    // Quit does; a bundle without an identifier is left alone.
    void requestQuit(const QString &bundlePath) override;

    // The application bundle a process runs from: the innermost ".app" folder above its
    // executable, as a helper application nested in another bundle is its own application.
    [[nodiscard]] static std::optional<QString> applicationBundleOf(const QString &executable);
    [[nodiscard]] static ToolCommand revealCommand(const QStringList &paths);
    [[nodiscard]] static ToolCommand openCommand(const QString &path);
    // Asks only a running application: telling one that is not running would launch it.
    [[nodiscard]] static QString quitScript(const QString &bundleIdentifier);

private:
    std::shared_ptr<DarwinCalls> m_darwin;
};
