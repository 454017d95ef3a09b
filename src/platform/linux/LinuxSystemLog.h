#pragma once

#include "platform/SystemLog.h"

#include <QByteArray>
#include <mutex>

// syslog(3), with the subsystem as the ident and the category in front of the message.
class LinuxSystemLog : public SystemLog
{
public:
    void write(const QString &subsystem, const QString &category, SystemLogSeverity severity,
               const QString &message) override;

private:
    std::mutex m_mutex;
    // openlog keeps the pointer, so the ident text lives as long as this object.
    QByteArray m_ident;
};
