#pragma once

#include <QList>
#include <QString>

class QFontMetrics;

// One piece of a text whose meaning lies in several places: the version comparison
// "Mac: v3.3 (3300) vs Drive: v3.2 (3200)" says nothing once its "vs Drive" is cut away.
struct TextPart
{
    QString text;
    bool shortens = false; // may give way; the other parts stay whole
};

namespace TextParts {

[[nodiscard]] QString joined(const QList<TextPart> &parts);
// The parts as they fit `width` pixels: whole when they fit; otherwise each part that shortens
// is cut at its end with "…", sharing the room the whole parts leave; where even that cannot
// fit, the whole text cut at its end.
[[nodiscard]] QString elided(const QList<TextPart> &parts, const QFontMetrics &metrics, int width);

} // namespace TextParts
