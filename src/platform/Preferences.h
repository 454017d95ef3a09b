#pragma once

#include <QString>
#include <QVariant>

// The user's defaults (the standard user defaults on a Mac). A key never written reads as
// an invalid QVariant. Callable from any thread.
class Preferences
{
public:
    virtual ~Preferences() = default;

    [[nodiscard]] virtual QVariant value(const QString &key) const = 0;
    virtual void setValue(const QString &key, const QVariant &value) = 0;
};
