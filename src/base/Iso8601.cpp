#include "base/Iso8601.h"

QString iso8601Seconds(const QDateTime &moment)
{
    return moment.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

QString iso8601SecondsNow()
{
    return iso8601Seconds(QDateTime::currentDateTimeUtc());
}

QString iso8601Millis(const QDateTime &moment)
{
    return moment.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

QString iso8601MillisNow()
{
    return iso8601Millis(QDateTime::currentDateTimeUtc());
}
