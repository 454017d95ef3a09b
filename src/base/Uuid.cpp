#include "base/Uuid.h"

#include <QRegularExpression>
#include <QUuid>

QString newUuidText()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

bool isUuidText(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("\\A[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\z"));
    return pattern.match(text).hasMatch();
}
