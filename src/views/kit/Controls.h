#pragma once

#include <QColor>
#include <QFont>
#include <QPushButton>
#include <QString>
#include <QWidget>

class FlowLayout;
class QBoxLayout;
class QFrame;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QTimer;

// The small controls every view builds the same way: buttons after the platform's bordered,
// prominent and borderless looks, symbol and text labels, fonts, dividers and a spinner.
namespace Controls {

enum class ButtonLook { bordered, prominent, borderless };
enum class ControlSize { small, regular, large };

// The accent colour of selections, chips and prominent buttons (the default blue).
[[nodiscard]] QColor accent();

// A size given in the platform's points (body text 13) as the kit's text styles scale it:
// relative to the application font, so the window follows the desktop's font size.
[[nodiscard]] int points(int platformPoints);
[[nodiscard]] QFont systemFont(int platformPoints, QFont::Weight weight = QFont::Normal);
[[nodiscard]] QFont monospacedFont(int platformPoints, QFont::Weight weight = QFont::Normal);
[[nodiscard]] QFont withWeight(QFont font, QFont::Weight weight);

// `text` as buttons, tool buttons, check boxes and menu items show it: Qt reads "&" in their
// texts as a mnemonic marker, and no text here has a mnemonic, so every "&" is doubled.
// Every such text, from the vocabulary or from data, goes through here.
[[nodiscard]] QString literalText(const QString &text);

// A push button of that look, with `symbol` (when named) before the text. Layouts keep its
// whole text; given less room all the same (a line narrower than the text), it shortens the
// text with "…" and shows the whole text as its tooltip, so a long name never pushes it past
// the window's edge. An invalid tint
// means the accent colour for prominent and borderless buttons and the default text colour
// for bordered ones. It never reacts to Return on its own: no control here is a default.
QPushButton *button(const QString &text, const QString &objectName, ButtonLook look,
                    ControlSize size = ControlSize::regular, const QColor &tint = QColor(),
                    const QString &symbol = QString(), QWidget *parent = nullptr);
// Gives a button another text, shortened as button() does for a button made there.
void setButtonText(QPushButton *button, const QString &text);
// Gives a button made by button() another text, look, tint or symbol.
void restyle(QPushButton *button, const QString &text, ButtonLook look, ControlSize size,
             const QColor &tint = QColor(), const QString &symbol = QString());

// A symbol picture `size` pixels square, optionally tinted.
QLabel *symbol(const QString &symbolName, int size, const QColor &tint = QColor(),
               QWidget *parent = nullptr);
void setSymbol(QLabel *label, const QString &symbolName, int size, const QColor &tint = QColor());

// A plain-text label: wrapping, alignment and colour in one call; an invalid colour keeps
// the default.
QLabel *text(const QString &text, const QFont &font, const QColor &color = QColor(),
             bool wrap = false, Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter,
             QWidget *parent = nullptr);
// The explanation under an empty page's title, added to `into`: a centred caption at most 360
// wide that a narrower column wraps further.
void addEmptyStateExplanation(QBoxLayout *into, const QString &explanation);
// An invalid colour goes back to the default text colour.
void setTextColor(QWidget *widget, const QColor &color);

// A horizontal row without margins, added to `into` when given.
QHBoxLayout *row(int spacing, QBoxLayout *into = nullptr);
// A one-pixel horizontal line in the separator colour.
QFrame *divider(QWidget *parent = nullptr);

// The header of a list page: its title over a secondary count line (object names
// "pageTitle" and "countLabel"), then the items added to the returned layout, at the right on the
// same row while the title keeps its width, on the next row otherwise. `countLabel` receives the
// line; the layout's parent widget is the header to place.
FlowLayout *pageHeader(const QString &title, QLabel *&countLabel);

} // namespace Controls

// The push button that button() makes: `fullText` is shown whole when there is room and
// shortened with "…" otherwise. Its minimum size is the whole text's.
class FittingButton : public QPushButton
{
    Q_OBJECT
public:
    explicit FittingButton(QWidget *parent = nullptr);

    void setFullText(const QString &text);
    [[nodiscard]] const QString &fullText() const { return m_fullText; }

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void fit();
    // The hint's width beyond the shown text: padding, icon and spacing.
    [[nodiscard]] int chromeWidth() const;

    QString m_fullText;
    QString m_shownText;
};

// An indeterminate activity indicator: a turning arc, animated only while shown.
class ActivitySpinner : public QWidget
{
    Q_OBJECT
public:
    explicit ActivitySpinner(int diameter = 16, QWidget *parent = nullptr);
    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QTimer *m_timer;
    int m_diameter;
    int m_angle = 0;
};
