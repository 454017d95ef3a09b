#include "views/kit/SelectableLabel.h"

#include <QResizeEvent>

#include <algorithm>

SelectableLabel::SelectableLabel(const QString &text, QWidget *parent)
    : QLabel(parent)
{
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setCursor(Qt::IBeamCursor);
    setFullText(text);
}

void SelectableLabel::setFullText(const QString &text)
{
    setFullText(QList<TextPart>{{text, false}});
}

void SelectableLabel::setFullText(const QList<TextPart> &parts)
{
    m_parts = parts;
    m_fullText = TextParts::joined(parts);
    setToolTip(m_elideMode == Qt::ElideNone ? QString() : m_fullText);
    applyElision();
}

bool SelectableLabel::isShortened() const
{
    return text() != m_fullText;
}

void SelectableLabel::setElideMode(Qt::TextElideMode mode)
{
    m_elideMode = mode;
    if (mode != Qt::ElideNone)
        setMinimumWidth(40);
    setFullText(m_parts);
}

void SelectableLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    applyElision();
}

void SelectableLabel::applyElision()
{
    if (m_elideMode == Qt::ElideNone) {
        setText(m_fullText);
        return;
    }
    const int room = qMax(0, width());
    const bool inParts = std::any_of(m_parts.cbegin(), m_parts.cend(),
                                     [](const TextPart &part) { return part.shortens; });
    setText(inParts ? TextParts::elided(m_parts, fontMetrics(), room)
                    : fontMetrics().elidedText(m_fullText, m_elideMode, room));
}
