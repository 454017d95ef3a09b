#include "base/ByteCount.h"

#include <QLocale>
#include <cmath>

namespace {

QString trimmedNumber(double value, int decimals)
{
    QString text = QLocale::c().toString(value, 'f', decimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    // Group thousands like the platform does ("1,234 KB" never happens past the unit
    // switch, but a negative or huge count still reads naturally).
    const qsizetype dot = text.indexOf(QLatin1Char('.'));
    QString integral = dot < 0 ? text : text.left(dot);
    const QString fraction = dot < 0 ? QString() : text.mid(dot);
    const bool negative = integral.startsWith(QLatin1Char('-'));
    if (negative)
        integral.remove(0, 1);
    for (qsizetype i = integral.size() - 3; i > 0; i -= 3)
        integral.insert(i, QLatin1Char(','));
    return (negative ? QStringLiteral("-") : QString()) + integral + fraction;
}

} // namespace

QString formatFileSize(qint64 bytes)
{
    if (bytes == 0)
        return QStringLiteral("Zero KB");
    const qint64 magnitude = bytes < 0 ? -bytes : bytes;
    if (magnitude < 1000)
        return magnitude == 1 ? QStringLiteral("%1 byte").arg(bytes)
                              : QStringLiteral("%1 bytes").arg(bytes);

    static const char *const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = double(bytes) / 1000.0;
    int unit = 0;
    // Switch to the next unit when the rounded value would read 1,000 or more.
    auto decimalsFor = [](int u) { return u == 0 ? 0 : (u == 1 ? 1 : 2); };
    while (unit < 5) {
        const double scale = std::pow(10.0, decimalsFor(unit));
        if (std::round(std::fabs(value) * scale) / scale < 1000.0)
            break;
        value /= 1000.0;
        ++unit;
    }
    return trimmedNumber(value, decimalsFor(unit)) + QLatin1Char(' ') + QLatin1String(units[unit]);
}
