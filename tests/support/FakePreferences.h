#pragma once

#include "platform/Preferences.h"

#include <QHash>
#include <mutex>

// The user's defaults in memory, empty at the start.
class FakePreferences : public Preferences
{
public:
    QVariant value(const QString &key) const override
    {
        const std::lock_guard lock(m_mutex);
        return m_values.value(key);
    }
    void setValue(const QString &key, const QVariant &value) override
    {
        const std::lock_guard lock(m_mutex);
        m_values.insert(key, value);
    }

private:
    mutable std::mutex m_mutex;
    QHash<QString, QVariant> m_values;
};
