#include "platform/linux/LinuxSystemLog.h"

#include <syslog.h>

void LinuxSystemLog::write(const QString &subsystem, const QString &category,
                           SystemLogSeverity severity, const QString &message)
{
    const QByteArray ident = subsystem.toUtf8();
    const QByteArray text = (QLatin1Char('[') + category + QLatin1String("] ") + message).toUtf8();
    const int priority = severity == SystemLogSeverity::info ? LOG_INFO : LOG_ERR;
    const std::lock_guard lock(m_mutex);
    if (ident != m_ident) {
        m_ident = ident;
        ::openlog(m_ident.constData(), LOG_PID, LOG_USER);
    }
    ::syslog(priority, "%s", text.constData());
}
