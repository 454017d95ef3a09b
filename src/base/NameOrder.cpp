#include "base/NameOrder.h"

#include <QLocale>

QCollator fileBrowserCollator()
{
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    return collator;
}

int compareFileBrowserNames(const QString &a, const QString &b)
{
    return fileBrowserCollator().compare(a, b);
}
