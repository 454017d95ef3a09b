#pragma once

#include <QColor>
#include <QLabel>

// A short text on a rounded, tinted fill: status pills, badges, count pills and chips. The
// text is plain, never markup. A chip may lead with a bold count ("2" before "On Mac"). Given
// less room than its text needs, the pill shortens the text with "…" (the count stays) and
// shows the whole text as its tooltip. Layouts keep a pill whole unless it is elidable.
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

    // A bold part before the text, 4 pixels apart; empty for none.
    void setLead(const QString &lead);
    [[nodiscard]] const QString &lead() const { return m_lead; }
    // The lead and the text as a reader takes them in.
    [[nodiscard]] QString fullText() const;

    // An elidable pill lets layouts shorten it (down to the lead and one letter) before they
    // shorten its neighbours.
    void setElidable(bool elidable);
    // Whether the text is shortened at the pill's present size.
    [[nodiscard]] bool isShortened() const;

    // The common pill: the text in `color` on `color` at `fillOpacity`.
    [[nodiscard]] static Style tinted(const QColor &color, qreal fillOpacity);
    // One elidable line of plain text without fill or padding: a name in a row that gives way
    // to the badges beside it.
    [[nodiscard]] static Pill *line(const QString &text, const QFont &font,
                                    const QColor &color = QColor(), QWidget *parent = nullptr);

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    [[nodiscard]] QFont leadFont() const;
    // The lead's width and the gap after it; 0 without a lead.
    [[nodiscard]] int leadWidth() const;
    // The tooltip follows whether the text is shortened.
    void updateToolTip();

    // The text as it fits now.
    [[nodiscard]] QString shownText() const;

    Style m_style;
    QString m_lead;
    bool m_shortened = false;
    bool m_elidable = false;
};
