#pragma once

#include "platform/BundleServices.h"

// Linux has no code signing and no application database to register with, so those do
// nothing. The file manager's comment is the extended attribute "user.xdg.comment" where the
// file system keeps user attributes. No desktop icon is rendered: the core links no GUI
// module, and a proxy without an icon file still works. The program's resources lie beside
// its executable.
class LinuxBundleServices : public BundleServices
{
public:
    void signAdHoc(const QString &bundlePath) override;
    void registerApplication(const QString &bundlePath) override;
    void setComment(const QString &path, const QString &comment) override;
    [[nodiscard]] QByteArray iconPng(const QString &path) override;
    [[nodiscard]] std::optional<QString> programResource(const QString &name) override;
    [[nodiscard]] QString programBundlePath() override;
    // The Mac's compiler run: the carried launcher source is Objective-C against Cocoa, which
    // builds nowhere else, so a Linux build relies on the launcher it installs.
    [[nodiscard]] ToolCommand launcherCompileCommand(const QString &sourcePath,
                                                     const QString &outputPath) override;
};
