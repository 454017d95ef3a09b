#include "views/kit/TextParts.h"

#include <QFontMetrics>

#include <algorithm>

namespace TextParts {

QString joined(const QList<TextPart> &parts)
{
    QString text;
    for (const TextPart &part : parts)
        text += part.text;
    return text;
}

QString elided(const QList<TextPart> &parts, const QFontMetrics &metrics, int width)
{
    const QString whole = joined(parts);
    if (metrics.horizontalAdvance(whole) <= width)
        return whole;
    QList<int> shortening;
    int room = width;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (parts[i].shortens)
            shortening.append(int(i));
        else
            room -= metrics.horizontalAdvance(parts[i].text);
    }
    // A pixel to spare for each cut: parts measured one by one may come out a little narrower
    // than the same letters measured together.
    room -= int(shortening.size());
    const int ellipsis = metrics.horizontalAdvance(QStringLiteral("\u2026"));
    if (shortening.isEmpty() || room < ellipsis * int(shortening.size()))
        return metrics.elidedText(whole, Qt::ElideRight, width);

    // Shared fairly: a part narrower than its share keeps all of it and leaves the rest to
    // the others.
    std::sort(shortening.begin(), shortening.end(), [&](int a, int b) {
        return metrics.horizontalAdvance(parts[a].text) < metrics.horizontalAdvance(parts[b].text);
    });
    QList<int> allowed(parts.size(), 0);
    for (qsizetype n = 0; n < shortening.size(); ++n) {
        const int index = shortening[n];
        const int share = room / int(shortening.size() - n);
        allowed[index] = std::min(share, metrics.horizontalAdvance(parts[index].text));
        room -= allowed[index];
    }
    QString text;
    for (qsizetype i = 0; i < parts.size(); ++i)
        text += parts[i].shortens ? metrics.elidedText(parts[i].text, Qt::ElideRight, allowed[i])
                                  : parts[i].text;
    return text;
}

} // namespace TextParts
