#pragma once

#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QString>

class QBoxLayout;
class QFrame;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QWidget;

// Small building blocks the three inspector views share.
namespace InspectorWidgets {

enum class ButtonStyle { bordered, prominent };
enum class ControlSize { small, regular, large };

// A push button drawn like the platform's bordered or prominent button, with the symbol
// before the text. An invalid tint means the accent colour (prominent) or the default
// text colour (bordered).
QPushButton *button(const QString &text, const QString &symbol, ButtonStyle style,
                    const QColor &tint = QColor(), ControlSize size = ControlSize::regular,
                    QWidget *parent = nullptr);
// Restyles a button made by button() for another text, symbol or tint.
void restyle(QPushButton *button, const QString &text, const QString &symbol, ButtonStyle style,
             const QColor &tint, ControlSize size);

// The symbol as a fixed-size picture.
QLabel *symbol(const QString &name, int size, const QColor &tint = QColor(),
               QWidget *parent = nullptr);
void setSymbol(QLabel *label, const QString &name, int size, const QColor &tint = QColor());

// A label that wraps and keeps its colour; an invalid colour keeps the default.
QLabel *text(const QString &text, const QFont &font, const QColor &color = QColor(),
             QWidget *parent = nullptr);
void setColor(QWidget *widget, const QColor &color);

// A font of an exact pixel size and weight (the sizes the layout names in points).
[[nodiscard]] QFont pixelFont(int pixelSize, QFont::Weight weight = QFont::Normal);
[[nodiscard]] QFont monospaced(int pixelSize);
[[nodiscard]] QFont withWeight(QFont font, QFont::Weight weight);

QHBoxLayout *row(int spacing, QBoxLayout *into = nullptr);
QFrame *divider(QWidget *parent = nullptr);

// The desktop's icon of the item at `path`, `size` pixels square. A linked entry gets the
// small link badge at its lower-left corner, pushed `offset` pixels out of the icon; the
// picture grows by `offset` on the left and at the bottom to hold it.
[[nodiscard]] QPixmap appIcon(const QString &path, int size, bool linked, int badgeSymbolSize,
                              qreal badgePadding, int offset);

} // namespace InspectorWidgets
