#include "platform/macos/MacPreferences.h"

#include <QSettings>

namespace {

// Qt turns the organisation "korvanthelix.com" and the application "app" into the defaults
// domain "com.korvanthelix.app", the bundle identifier. A settings object per call: QSettings
// is reentrant, not thread-safe.
QSettings settings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope,
                     QStringLiteral("korvanthelix.com"), QStringLiteral("app"));
}

} // namespace

QVariant MacPreferences::value(const QString &key) const
{
    return settings().value(key);
}

void MacPreferences::setValue(const QString &key, const QVariant &value)
{
    QSettings store = settings();
    store.setValue(key, value);
    store.sync();
}
