#pragma once

#include "platform/Preferences.h"

// The user's defaults in ~/.config/Korvanthelix/Korvanthelix.conf.
class LinuxPreferences : public Preferences
{
public:
    [[nodiscard]] QVariant value(const QString &key) const override;
    void setValue(const QString &key, const QVariant &value) override;
};
