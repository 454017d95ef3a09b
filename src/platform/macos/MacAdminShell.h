#pragma once

#include "platform/AdminShell.h"

// Administrator commands on a Mac: an AppleScript "do shell script" with administrator
// privileges, run by the script runner, which shows the system's password prompt.
class MacAdminShell : public AdminShell
{
public:
    // `tool` is the script runner; tests put a stand-in there.
    explicit MacAdminShell(QString tool = {});

    [[nodiscard]] AdminShellResult run(const QString &command) override;

    // The AppleScript source that runs `command` as administrator.
    [[nodiscard]] static QString scriptSource(const QString &command);

private:
    QString m_tool;
};
