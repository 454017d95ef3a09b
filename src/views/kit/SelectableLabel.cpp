#include "views/kit/SelectableLabel.h"

#include <QResizeEvent>

SelectableLabel::SelectableLabel(const QString &text, QWidget *parent)
    : QLabel(parent)
{
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setCursor(Qt::IBeamCursor);
    setFullText(text);
}

void SelectableLabel::setFullText(const QString &text)
{
    m_fullText = text;
    setToolTip(m_elideMode == Qt::ElideNone ? QString() : text);
    applyElision();
}

void SelectableLabel::setElideMode(Qt::TextElideMode mode)
{
    m_elideMode = mode;
    if (mode != Qt::ElideNone)
        setMinimumWidth(40);
    setFullText(m_fullText);
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
    setText(fontMetrics().elidedText(m_fullText, m_elideMode, qMax(0, width())));
}
