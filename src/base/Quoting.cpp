#include "base/Quoting.h"

namespace Quoting {

QString shellQuote(const QString &text)
{
    if (text.isEmpty())
        return QStringLiteral("''");
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString appleScriptEscape(const QString &text)
{
    // The backslash goes first, so the escapes added after it are not doubled.
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    escaped.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    escaped.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return escaped;
}

} // namespace Quoting
