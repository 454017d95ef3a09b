#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;
class QTimer;

// Small pieces the secondary views share: button looks after the platform's bordered,
// prominent and borderless styles, the accent colour, symbol images and a spinner.
namespace SheetWidgets {

enum class ButtonLook { bordered, prominent, borderless };
enum class ControlSize { small, regular, large };

// The user's accent colour (the palette's highlight).
[[nodiscard]] QColor accent();

// A size given in the platform's points (body text 13) as a size in this desktop's font,
// keeping its distance from the body text, as the kit's text styles do.
[[nodiscard]] int points(int platformPoints);
[[nodiscard]] QFont systemFont(int platformPoints, QFont::Weight weight = QFont::Normal);
[[nodiscard]] QFont monospacedFont(int platformPoints, QFont::Weight weight = QFont::Normal);

// A button that never reacts to Return or Escape on its own: no control here carries a
// keyboard shortcut.
QPushButton *button(const QString &text, const QString &objectName, ButtonLook look,
                    ControlSize size = ControlSize::regular, const QColor &tint = QColor(),
                    QWidget *parent = nullptr);

// A symbol drawn at `size` points square, optionally tinted.
QLabel *symbol(const QString &symbolName, int size, const QColor &tint = QColor(),
               QWidget *parent = nullptr);

// A text label: wrapping, alignment and colour in one call.
QLabel *text(const QString &text, const QFont &font, const QColor &color = QColor(),
             bool wrap = false, Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter,
             QWidget *parent = nullptr);

void setTextColor(QWidget *widget, const QColor &color);

} // namespace SheetWidgets

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
