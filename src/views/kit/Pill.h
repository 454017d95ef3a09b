#pragma once

#include <QColor>
#include <QLabel>

// A short text on a rounded, tinted fill: status pills, badges and count pills.
class Pill : public QLabel
{
    Q_OBJECT
public:
    struct Style
    {
        QColor textColor;
        QColor fillColor;
        int horizontalPadding = 6;
        int verticalPadding = 2;
        int cornerRadius = 4;
        int pointSize = 0; // 0 keeps the font's size
        bool bold = false;
    };

    explicit Pill(QWidget *parent = nullptr);
    Pill(const QString &text, const Style &style, QWidget *parent = nullptr);

    void setStyle(const Style &style);
    [[nodiscard]] const Style &pillStyle() const { return m_style; }

    // The common pill: the text in `color` on `color` at `fillOpacity`.
    [[nodiscard]] static Style tinted(const QColor &color, qreal fillOpacity);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Style m_style;
};
