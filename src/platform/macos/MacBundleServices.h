#pragma once

#include "platform/BundleServices.h"

// The bundle services of a Mac: codesign, lsregister and Finder through the script runner,
// with the program's own rights; icons rendered by sips from the bundle's icon file.
class MacBundleServices : public BundleServices
{
public:
    void signAdHoc(const QString &bundlePath) override;
    void registerApplication(const QString &bundlePath) override;
    void setComment(const QString &path, const QString &comment) override;
    [[nodiscard]] QByteArray iconPng(const QString &path) override;
    [[nodiscard]] std::optional<QString> programResource(const QString &name) override;
    [[nodiscard]] QString programBundlePath() override;
    [[nodiscard]] ToolCommand launcherCompileCommand(const QString &sourcePath,
                                                     const QString &outputPath) override;

    [[nodiscard]] static ToolCommand codesignCommand(const QString &bundlePath);
    [[nodiscard]] static ToolCommand lsregisterCommand(const QString &bundlePath);
    // The launcher is Objective-C against Cocoa, for Apple silicon only.
    [[nodiscard]] static ToolCommand compileCommand(const QString &sourcePath,
                                                    const QString &outputPath);
    // The AppleScript that sets the Finder comment of the item at `path`.
    [[nodiscard]] static QString commentScript(const QString &path, const QString &comment);
    // The icon file of the bundle at `bundlePath` (its CFBundleIconFile, or the icon named
    // by CFBundleIconName, in Contents/Resources), else the system's generic application
    // icon, which is what the desktop shows for a bundle without one.
    [[nodiscard]] static QString iconSource(const QString &bundlePath);
    // sips converting an icon file to PNG.
    [[nodiscard]] static ToolCommand iconCommand(const QString &iconPath, const QString &pngPath);
    // The program's bundle, given the folder of its executable: the ".app" folder when the
    // executable sits in its Contents/MacOS, else that folder itself.
    [[nodiscard]] static QString bundleOfExecutableFolder(const QString &folder);
};
