#include "platform/EjectTools.h"

bool liesWithin(const QString &path, const QStringList &roots)
{
    for (const QString &root : roots) {
        if (path == root || (path.startsWith(root) && (root.endsWith(QLatin1Char('/')) ||
                                                       path.at(root.size()) == QLatin1Char('/'))))
            return true;
    }
    return false;
}

ToolRun runEjectTool(const QString &program, const QStringList &arguments,
                     const SubprocessOptions &options, bool withErrorOutput)
{
    ToolRun run;
    if (program.isEmpty()) {
        run.startError = QStringLiteral("tool not found");
        return run;
    }
    const SubprocessResult result = Subprocess::run(program, arguments, options);
    run.started = !result.failedToStart;
    run.startError = result.startError;
    run.timedOut = result.timedOut;
    run.exitCode = result.exitCode;
    run.output = result.standardOutput;
    if (withErrorOutput)
        run.output += result.standardError;
    return run;
}
