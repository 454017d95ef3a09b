#pragma once

#include "platform/SystemLog.h"
#include "platform/macos/DarwinCalls.h"

// The unified log: one entry per call under the product's subsystem and the category.
class MacSystemLog : public SystemLog
{
public:
    explicit MacSystemLog(std::shared_ptr<DarwinCalls> darwin);

    void write(const QString &subsystem, const QString &category, SystemLogSeverity severity,
               const QString &message) override;

private:
    std::shared_ptr<DarwinCalls> m_darwin;
};
