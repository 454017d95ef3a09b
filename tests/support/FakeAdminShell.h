#pragma once

#include "platform/AdminShell.h"

#include <QStringList>
#include <functional>
#include <mutex>

// An administrator shell that records every command and answers as the test says. By
// default it declines like a dismissed prompt, so no test runs anything as administrator
// by accident. Safe to use from any thread.
class FakeAdminShell : public AdminShell
{
public:
    using Answer = std::function<AdminShellResult(const QString &command)>;

    [[nodiscard]] AdminShellResult run(const QString &command) override;

    [[nodiscard]] QStringList commands() const;
    void clearCommands();

    // Every command fails with `message` (the default behaviour).
    void decline(const QString &message = QStringLiteral("User canceled."));
    // Every command really runs, with this process's rights, through "/bin/sh -c": success
    // with its output, or failure with its standard error.
    void runUnprivileged();
    void answerWith(Answer answer);

    // What runUnprivileged() does with one command.
    [[nodiscard]] static AdminShellResult runWithShell(const QString &command);

private:
    mutable std::mutex m_mutex;
    QStringList m_commands;
    Answer m_answer;
};
