#pragma once

#include "views/kit/TextParts.h"

#include <QLabel>

// Paths and log text the user may want to copy: selectable with the mouse and keyboard,
// optionally elided in the middle with the full text as tooltip.
class SelectableLabel : public QLabel
{
    Q_OBJECT
public:
    explicit SelectableLabel(const QString &text = QString(), QWidget *parent = nullptr);

    void setFullText(const QString &text);
    // A text whose meaning lies in several places: when elided, its parts that shorten give
    // way each at its end, and the others stay whole.
    void setFullText(const QList<TextPart> &parts);
    [[nodiscard]] const QString &fullText() const { return m_fullText; }
    void setElideMode(Qt::TextElideMode mode);
    // Whether less than the full text is shown now.
    [[nodiscard]] bool isShortened() const;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void applyElision();

    QString m_fullText;
    QList<TextPart> m_parts;
    Qt::TextElideMode m_elideMode = Qt::ElideNone;
};
