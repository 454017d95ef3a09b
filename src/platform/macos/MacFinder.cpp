#include "platform/macos/MacFinder.h"

#include "base/Quoting.h"
#include "base/Subprocess.h"
#include "platform/macos/OsaScript.h"

namespace {

QString quoted(const QString &text)
{
    return QLatin1Char('"') + Quoting::appleScriptEscape(text) + QLatin1Char('"');
}

} // namespace

MacFinder::MacFinder(QString tool, std::shared_ptr<DarwinCalls> darwin)
    : m_tool(tool.isEmpty() ? OsaScript::defaultTool() : std::move(tool))
    , m_darwin(std::move(darwin))
{}

QString MacFinder::aliasScript(const QString &targetPath, const QString &folder,
                               const QString &aliasName)
{
    const QStringList lines = {
        QStringLiteral("tell application \"Finder\""),
        QStringLiteral("    try"),
        QStringLiteral("        set orig to POSIX file ") + quoted(targetPath),
        QStringLiteral("        set dest to POSIX file ") + quoted(folder),
        QStringLiteral("        make new alias file at dest to orig with properties {name:") +
            quoted(aliasName) + QLatin1Char('}'),
        QStringLiteral("    end try"),
        QStringLiteral("end tell"),
    };
    return lines.join(QLatin1Char('\n'));
}

QString MacFinder::updateScript(const QString &path)
{
    return QStringLiteral("tell application \"Finder\" to update POSIX file ") + quoted(path);
}

bool MacFinder::makeAliasFile(const QString &targetPath, const QString &folder,
                              const QString &aliasName)
{
    return Subprocess::run(m_tool, OsaScript::arguments(aliasScript(targetPath, folder, aliasName)))
        .succeeded();
}

bool MacFinder::writeBookmarkFile(const QString &targetPath, const QString &aliasPath)
{
    return m_darwin && m_darwin->writeBookmarkFile(targetPath, aliasPath);
}

void MacFinder::update(const QString &path)
{
    (void)Subprocess::run(m_tool, OsaScript::arguments(updateScript(path)));
}
