#pragma once

#include "platform/BundleServices.h"

// The bundle services of a Mac: codesign, lsregister and Finder through the script runner,
// with the program's own rights. The desktop icon and the program's own bundle need the
// platform's frameworks, which only the native backend has: it overrides those; here they
// report nothing.
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
};
