#pragma once

#include <QString>

// The two severities the product uses in the operating system's log.
enum class SystemLogSeverity {
    info,
    error,
};

// The operating system's log: one entry per call, tagged with the product's subsystem and a
// category word. Entries are written at once on the caller's thread; callable from any
// thread; never fails.
class SystemLog
{
public:
    virtual ~SystemLog() = default;

    virtual void write(const QString &subsystem, const QString &category,
                       SystemLogSeverity severity, const QString &message) = 0;
};
