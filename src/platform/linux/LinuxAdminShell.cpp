#include "platform/linux/LinuxAdminShell.h"

#include "base/Subprocess.h"

#include <QStandardPaths>

LinuxAdminShell::LinuxAdminShell(std::optional<QString> pkexec)
    : m_pkexec(std::move(pkexec))
{}

QStringList LinuxAdminShell::arguments(const QString &command)
{
    return {QStringLiteral("/bin/sh"), QStringLiteral("-c"), command};
}

QString LinuxAdminShell::pkexecPath() const
{
    if (m_pkexec)
        return *m_pkexec;
    return QStandardPaths::findExecutable(QStringLiteral("pkexec"));
}

AdminShellResult LinuxAdminShell::run(const QString &command)
{
    const QString pkexec = pkexecPath();
    if (pkexec.isEmpty())
        return {false,
                QStringLiteral("Administrator rights are not available: pkexec was not found"),
                false};
    const SubprocessResult result = Subprocess::run(pkexec, arguments(command));
    if (result.failedToStart)
        return {false, QStringLiteral("Could not start pkexec: ") + result.startError, false};
    if (!result.succeeded()) {
        const QString error = result.errorText().trimmed();
        return {false, error.isEmpty()
                           ? QStringLiteral("The command exited with a non-zero status.")
                           : error};
    }
    QByteArray output = result.standardOutput;
    if (output.endsWith('\n'))
        output.chop(1);
    return {true, QString::fromUtf8(output)};
}
