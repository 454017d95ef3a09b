#include "support/FakeAdminShell.h"

#include "base/Subprocess.h"

AdminShellResult FakeAdminShell::run(const QString &command)
{
    Answer answer;
    {
        const std::lock_guard lock(m_mutex);
        m_commands.append(command);
        answer = m_answer;
    }
    if (!answer)
        return {false, QStringLiteral("User canceled.")};
    return answer(command);
}

QStringList FakeAdminShell::commands() const
{
    const std::lock_guard lock(m_mutex);
    return m_commands;
}

void FakeAdminShell::clearCommands()
{
    const std::lock_guard lock(m_mutex);
    m_commands.clear();
}

void FakeAdminShell::decline(const QString &message)
{
    answerWith([message](const QString &) { return AdminShellResult{false, message}; });
}

void FakeAdminShell::runUnprivileged()
{
    answerWith(&FakeAdminShell::runWithShell);
}

void FakeAdminShell::answerWith(Answer answer)
{
    const std::lock_guard lock(m_mutex);
    m_answer = std::move(answer);
}

AdminShellResult FakeAdminShell::runWithShell(const QString &command)
{
    const SubprocessResult result =
        Subprocess::run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    if (!result.succeeded())
        return {false, result.failureText()};
    QString output = result.outputText();
    if (output.endsWith(QLatin1Char('\n')))
        output.chop(1);
    return {true, output};
}
