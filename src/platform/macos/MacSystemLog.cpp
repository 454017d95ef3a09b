#include "platform/macos/MacSystemLog.h"

MacSystemLog::MacSystemLog(std::shared_ptr<DarwinCalls> darwin)
    : m_darwin(std::move(darwin))
{}

void MacSystemLog::write(const QString &subsystem, const QString &category,
                         SystemLogSeverity severity, const QString &message)
{
    m_darwin->log(subsystem.toUtf8(), category.toUtf8(), severity == SystemLogSeverity::error,
                  message.toUtf8());
}
