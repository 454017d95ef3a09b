#pragma once

#include "platform/Preferences.h"

// The user's defaults in the program's own domain, "com.korvanthelix.app", through Qt's
// native settings (CFPreferences on a Mac), so values keep their plist types.
class MacPreferences : public Preferences
{
public:
    [[nodiscard]] QVariant value(const QString &key) const override;
    void setValue(const QString &key, const QVariant &value) override;
};
