#include "platform/macos/MacBundleServices.h"

#include "base/Quoting.h"
#include "base/Subprocess.h"
#include "platform/macos/OsaScript.h"

namespace {

void runIgnoringFailure(const ToolCommand &command)
{
    (void)Subprocess::run(command.program, command.arguments);
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + Quoting::appleScriptEscape(text) + QLatin1Char('"');
}

} // namespace

ToolCommand MacBundleServices::codesignCommand(const QString &bundlePath)
{
    return {QStringLiteral("/usr/bin/codesign"),
            {QStringLiteral("--force"), QStringLiteral("--deep"), QStringLiteral("--sign"),
             QStringLiteral("-"), bundlePath}};
}

ToolCommand MacBundleServices::lsregisterCommand(const QString &bundlePath)
{
    return {QStringLiteral("/System/Library/Frameworks/CoreServices.framework/Frameworks/"
                           "LaunchServices.framework/Support/lsregister"),
            {QStringLiteral("-f"), bundlePath}};
}

ToolCommand MacBundleServices::compileCommand(const QString &sourcePath, const QString &outputPath)
{
    return {QStringLiteral("/usr/bin/clang"),
            {QStringLiteral("-arch"), QStringLiteral("arm64"), QStringLiteral("-O2"),
             QStringLiteral("-framework"), QStringLiteral("Cocoa"), QStringLiteral("-framework"),
             QStringLiteral("Foundation"), sourcePath, QStringLiteral("-o"), outputPath}};
}

QString MacBundleServices::commentScript(const QString &path, const QString &comment)
{
    return QStringLiteral("tell application \"Finder\" to set comment of (POSIX file ") +
           quoted(path) + QStringLiteral(" as alias) to ") + quoted(comment);
}

void MacBundleServices::signAdHoc(const QString &bundlePath)
{
    runIgnoringFailure(codesignCommand(bundlePath));
}

void MacBundleServices::registerApplication(const QString &bundlePath)
{
    runIgnoringFailure(lsregisterCommand(bundlePath));
}

void MacBundleServices::setComment(const QString &path, const QString &comment)
{
    runIgnoringFailure(
        {OsaScript::defaultTool(), OsaScript::arguments(commentScript(path, comment))});
}

QByteArray MacBundleServices::iconPng(const QString &)
{
    return {};
}

std::optional<QString> MacBundleServices::programResource(const QString &)
{
    return std::nullopt;
}

QString MacBundleServices::programBundlePath()
{
    return {};
}

ToolCommand MacBundleServices::launcherCompileCommand(const QString &sourcePath,
                                                      const QString &outputPath)
{
    return compileCommand(sourcePath, outputPath);
}
