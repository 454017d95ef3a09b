#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// One external program and its arguments.
struct ToolCommand
{
    QString program;
    QStringList arguments;
    friend bool operator==(const ToolCommand &, const ToolCommand &) = default;
};

// What the platform does for a generated application bundle: signing, registration with the
// desktop's application database, the file manager's comment, the desktop's icon of an item,
// and where the program's own resources and launcher compiler are. Runs on the caller's
// thread, blocking while a tool runs; callable from any thread.
class BundleServices
{
public:
    virtual ~BundleServices() = default;

    // Signs the bundle and everything in it ad hoc. Failures are ignored.
    virtual void signAdHoc(const QString &bundlePath) = 0;
    // Registers the bundle with the application database, so launchers list it at once.
    // Failures are ignored.
    virtual void registerApplication(const QString &bundlePath) = 0;
    // Sets the comment the file manager shows for the item. Failures are ignored.
    virtual void setComment(const QString &path, const QString &comment) = 0;
    // The desktop's icon of the item as PNG; empty when there is none.
    [[nodiscard]] virtual QByteArray iconPng(const QString &path) = 0;

    // A resource file the program itself carries; nothing when it carries none by that name.
    [[nodiscard]] virtual std::optional<QString> programResource(const QString &name) = 0;
    // The folder of the program's own bundle (of its executable, where programs have none).
    [[nodiscard]] virtual QString programBundlePath() = 0;
    // The compiler run that builds the proxy launcher from its source text.
    [[nodiscard]] virtual ToolCommand launcherCompileCommand(const QString &sourcePath,
                                                             const QString &outputPath) = 0;
};
