#pragma once

#include "platform/SystemLog.h"

#include <QList>
#include <mutex>

// Keeps every entry instead of sending it to the machine's log.
class RecordingSystemLog : public SystemLog
{
public:
    struct Entry
    {
        QString subsystem;
        QString category;
        SystemLogSeverity severity;
        QString message;
        friend bool operator==(const Entry &, const Entry &) = default;
    };

    void write(const QString &subsystem, const QString &category, SystemLogSeverity severity,
               const QString &message) override
    {
        const std::lock_guard lock(m_mutex);
        m_entries.append({subsystem, category, severity, message});
    }

    [[nodiscard]] QList<Entry> entries() const
    {
        const std::lock_guard lock(m_mutex);
        return m_entries;
    }

    void clear()
    {
        const std::lock_guard lock(m_mutex);
        m_entries.clear();
    }

private:
    mutable std::mutex m_mutex;
    QList<Entry> m_entries;
};
