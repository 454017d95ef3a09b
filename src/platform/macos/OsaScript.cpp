#include "platform/macos/OsaScript.h"

#include <QRegularExpression>

namespace OsaScript {

QString defaultTool()
{
    return QStringLiteral("/usr/bin/osascript");
}

QStringList arguments(const QString &source)
{
    return {QStringLiteral("-e"), source};
}

QString errorMessage(const QByteArray &standardError)
{
    const QString text = QString::fromUtf8(standardError).trimmed();
    if (text.isEmpty())
        return QStringLiteral("Unknown error");
    // "<start>:<end>: <kind> error: <message> (<number>)"
    static const QRegularExpression pattern(
        QStringLiteral(R"(^\d+:\d+: [a-z ]*error: (.*?)(?: \(-?\d+\))?$)"),
        QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = pattern.match(text);
    if (match.hasMatch() && !match.captured(1).isEmpty())
        return match.captured(1);
    return text;
}

QString resultText(const QByteArray &standardOutput)
{
    QByteArray text = standardOutput;
    if (text.endsWith('\n'))
        text.chop(1);
    return QString::fromUtf8(text);
}

} // namespace OsaScript
