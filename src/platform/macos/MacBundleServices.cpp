#include "platform/macos/MacBundleServices.h"

#include "base/PlistFile.h"
#include "base/Quoting.h"
#include "base/Subprocess.h"
#include "platform/macos/OsaScript.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

using namespace std::chrono_literals;

const QString genericApplicationIcon =
    QStringLiteral("/System/Library/CoreServices/CoreTypes.bundle/Contents/Resources/"
                   "GenericApplicationIcon.icns");

// A plain file name from the property list; anything that could lead out of the folder is
// refused.
std::optional<QString> fileName(const QVariant &entry)
{
    if (entry.typeId() != QMetaType::QString)
        return std::nullopt;
    const QString name = entry.toString();
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") ||
        name == QLatin1String(".."))
        return std::nullopt;
    return name;
}

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

QString MacBundleServices::iconSource(const QString &bundlePath)
{
    const QString resources = bundlePath + QStringLiteral("/Contents/Resources/");
    const std::optional<QVariantMap> info =
        PlistFile::readDictionary(bundlePath + QStringLiteral("/Contents/Info.plist"));
    QStringList candidates;
    if (info) {
        if (const std::optional<QString> file =
                fileName(info->value(QStringLiteral("CFBundleIconFile")))) {
            candidates << *file << *file + QStringLiteral(".icns");
        }
        if (const std::optional<QString> name =
                fileName(info->value(QStringLiteral("CFBundleIconName"))))
            candidates << *name + QStringLiteral(".icns");
    }
    for (const QString &candidate : std::as_const(candidates)) {
        if (QFileInfo(resources + candidate).isFile())
            return resources + candidate;
    }
    return genericApplicationIcon;
}

ToolCommand MacBundleServices::iconCommand(const QString &iconPath, const QString &pngPath)
{
    return {QStringLiteral("/usr/bin/sips"),
            {QStringLiteral("-s"), QStringLiteral("format"), QStringLiteral("png"), iconPath,
             QStringLiteral("--out"), pngPath}};
}

QString MacBundleServices::bundleOfExecutableFolder(const QString &folder)
{
    static const QString inside = QStringLiteral(".app/Contents/MacOS");
    if (folder.endsWith(inside, Qt::CaseInsensitive))
        return folder.chopped(QStringLiteral("/Contents/MacOS").size());
    return folder;
}

QByteArray MacBundleServices::iconPng(const QString &path)
{
    const QTemporaryDir folder;
    if (!folder.isValid())
        return {};
    const QString png = folder.filePath(QStringLiteral("icon.png"));
    const ToolCommand command = iconCommand(iconSource(path), png);
    SubprocessOptions options;
    options.timeLimit = 30s;
    if (!Subprocess::run(command.program, command.arguments, options).succeeded())
        return {};
    QFile file(png);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::optional<QString> MacBundleServices::programResource(const QString &name)
{
    const QString path = programBundlePath() + QStringLiteral("/Contents/Resources/") + name;
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    return path;
}

QString MacBundleServices::programBundlePath()
{
    return bundleOfExecutableFolder(QCoreApplication::applicationDirPath());
}

ToolCommand MacBundleServices::launcherCompileCommand(const QString &sourcePath,
                                                      const QString &outputPath)
{
    return compileCommand(sourcePath, outputPath);
}
