#include "platform/macos/MacSystemLog.h"

MacSystemLog::MacSystemLog(std::shared_ptr<DarwinCalls> darwin)
    : m_darwin(std::move(darwin))
{}

void MacSystemLog::write(const QString &subsystem, const QString &category,
                         SystemLogSeverity severity, const QString &message)
{
    // Every entry the activity log writes is one `log show` is expected to find.
    const DarwinLogType type =
        severity == SystemLogSeverity::error ? DarwinLogType::error : DarwinLogType::notice;
    m_darwin->log(subsystem.toUtf8(), category.toUtf8(), type, message.toUtf8());
}
