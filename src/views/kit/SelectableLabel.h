#pragma once

#include <QLabel>

// Paths and log text the user may want to copy: selectable with the mouse and keyboard,
// optionally elided in the middle with the full text as tooltip.
class SelectableLabel : public QLabel
{
    Q_OBJECT
public:
    explicit SelectableLabel(const QString &text = QString(), QWidget *parent = nullptr);

    void setFullText(const QString &text);
    [[nodiscard]] const QString &fullText() const { return m_fullText; }
    void setElideMode(Qt::TextElideMode mode);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void applyElision();

    QString m_fullText;
    Qt::TextElideMode m_elideMode = Qt::ElideNone;
};
