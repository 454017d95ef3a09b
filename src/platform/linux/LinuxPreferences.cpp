#include "platform/linux/LinuxPreferences.h"

#include <QSettings>

namespace {

// A settings object per call: QSettings is reentrant, not thread-safe, and rereads the file
// cheaply.
QSettings settings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvanthelix"),
                     QStringLiteral("Korvanthelix"));
}

} // namespace

QVariant LinuxPreferences::value(const QString &key) const
{
    return settings().value(key);
}

void LinuxPreferences::setValue(const QString &key, const QVariant &value)
{
    QSettings store = settings();
    store.setValue(key, value);
    store.sync();
}
