#pragma once

#include <QString>

struct AdminShellResult
{
    bool success = false;
    // The command's output on success; the failure text (never empty) otherwise.
    QString output;
    // False when the command failed before anyone was asked for a password: this machine
    // offers no administrator route.
    bool asked = true;

    friend bool operator==(const AdminShellResult &, const AdminShellResult &) = default;
};

// Runs one POSIX shell command with administrator rights, after the operating system has
// asked the user for an administrator password. A dismissed prompt is an ordinary failure.
class AdminShell
{
public:
    virtual ~AdminShell() = default;

    // Blocks the calling thread until the command ends or the user dismisses the prompt.
    // Safe to call from any thread.
    [[nodiscard]] virtual AdminShellResult run(const QString &command) = 0;
};
