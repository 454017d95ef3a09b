#pragma once

#include "platform/AdminShell.h"

#include <optional>

// Administrator commands on Linux: "pkexec /bin/sh -c <command>", whose polkit agent asks
// for the password. Without pkexec every command fails with a clear message.
class LinuxAdminShell : public AdminShell
{
public:
    // `pkexec` overrides the lookup in PATH (tests put a stand-in there); an empty text
    // means that there is none.
    explicit LinuxAdminShell(std::optional<QString> pkexec = std::nullopt);

    [[nodiscard]] AdminShellResult run(const QString &command) override;

    // The argument list after the program.
    [[nodiscard]] static QStringList arguments(const QString &command);

private:
    [[nodiscard]] QString pkexecPath() const;

    std::optional<QString> m_pkexec;
};
