#include "platform/EjectTools.h"

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
