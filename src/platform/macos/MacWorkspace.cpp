#include "platform/macos/MacWorkspace.h"

#include "base/PathUtils.h"
#include "base/PlistFile.h"
#include "base/Quoting.h"
#include "platform/macos/OsaScript.h"

#include <QFile>
#include <QProcess>
#include <QSet>

namespace {

const QString openTool = QStringLiteral("/usr/bin/open");

void startDetached(const ToolCommand &command)
{
    QProcess::startDetached(command.program, command.arguments);
}

} // namespace

MacWorkspace::MacWorkspace(std::shared_ptr<DarwinCalls> darwin)
    : m_darwin(std::move(darwin))
{}

std::optional<QString> MacWorkspace::applicationBundleOf(const QString &executable)
{
    if (!executable.startsWith(QLatin1Char('/')))
        return std::nullopt;
    QString folder = PathUtils::parentPath(executable);
    while (folder.size() > 1) {
        if (PathUtils::extension(folder).compare(QLatin1String("app"), Qt::CaseInsensitive) == 0)
            return PathUtils::standardized(folder);
        folder = PathUtils::parentPath(folder);
    }
    return std::nullopt;
}

QStringList MacWorkspace::runningApplicationBundles()
{
    QSet<QString> bundles;
    for (const qint32 pid : m_darwin->userProcessIds()) {
        if (const std::optional<QString> bundle = applicationBundleOf(m_darwin->processPath(pid)))
            bundles.insert(*bundle);
    }
    // A quarantined application that Gatekeeper translocated runs from a copy in a temporary
    // place; it runs from where it was started, which is what an offload would move.
    QSet<QString> running;
    for (const QString &bundle : std::as_const(bundles)) {
        const std::optional<QString> original = m_darwin->translocatedOriginal(bundle);
        running.insert(original ? PathUtils::standardized(*original) : bundle);
    }
    return QStringList(running.begin(), running.end());
}

ToolCommand MacWorkspace::revealCommand(const QStringList &paths)
{
    return {openTool, QStringList{QStringLiteral("-R")} + paths};
}

ToolCommand MacWorkspace::openCommand(const QString &path)
{
    return {openTool, {path}};
}

QString MacWorkspace::quitScript(const QString &bundleIdentifier)
{
    const QString application = QStringLiteral("application id \"") +
                                Quoting::appleScriptEscape(bundleIdentifier) + QLatin1Char('"');
    return QStringLiteral("if ") + application + QStringLiteral(" is running then\n    tell ") +
           application + QStringLiteral(" to quit\nend if");
}

void MacWorkspace::reveal(const QStringList &paths)
{
    if (!paths.isEmpty())
        startDetached(revealCommand(paths));
}

void MacWorkspace::open(const QString &path)
{
    startDetached(openCommand(path));
}

void MacWorkspace::requestQuit(const QString &bundlePath)
{
    const std::optional<QVariantMap> info =
        PlistFile::readDictionary(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (!info)
        return;
    const QVariant identifier = info->value(QStringLiteral("CFBundleIdentifier"));
    if (identifier.typeId() != QMetaType::QString || identifier.toString().isEmpty())
        return;
    startDetached(
        {OsaScript::defaultTool(), OsaScript::arguments(quitScript(identifier.toString()))});
}
