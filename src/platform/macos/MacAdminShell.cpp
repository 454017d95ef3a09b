#include "platform/macos/MacAdminShell.h"

#include "base/Quoting.h"
#include "base/Subprocess.h"
#include "platform/macos/OsaScript.h"

MacAdminShell::MacAdminShell(QString tool)
    : m_tool(tool.isEmpty() ? OsaScript::defaultTool() : std::move(tool))
{}

QString MacAdminShell::scriptSource(const QString &command)
{
    return QStringLiteral("do shell script \"") + Quoting::appleScriptEscape(command) +
           QStringLiteral("\" with administrator privileges");
}

AdminShellResult MacAdminShell::run(const QString &command)
{
    // No time limit: the user may take as long as they like over the password prompt.
    const SubprocessResult result =
        Subprocess::run(m_tool, OsaScript::arguments(scriptSource(command)));
    if (result.failedToStart)
        return {false, QStringLiteral("Could not initialize NSAppleScript")};
    if (!result.succeeded())
        return {false, OsaScript::errorMessage(result.standardError)};
    return {true, OsaScript::resultText(result.standardOutput)};
}
