#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QFrame;
class QLabel;
class QPushButton;
class QWidget;

// Small pieces the main window's columns share.
namespace MainWidgets {

// The accent colour of the window's selection, chips and prominent buttons.
[[nodiscard]] QColor accent();

// A font of an exact pixel size (the layout's sizes are given in points, one pixel each).
[[nodiscard]] QFont pixelFont(int pixelSize, QFont::Weight weight = QFont::Normal);

enum class ButtonLook {
    bordered,
    prominent,
    borderless,
};

// A push button drawn like the platform's mini, small or regular button of that look.
// A prominent button is filled with `tint` (the accent colour when invalid).
QPushButton *button(const QString &text, const QString &objectName, ButtonLook look,
                    int pixelSize = 11, const QColor &tint = QColor(), QWidget *parent = nullptr);

// A symbol picture `size` pixels square.
QLabel *symbol(const QString &symbolName, int size, const QColor &tint = QColor(),
               QWidget *parent = nullptr);
void setSymbol(QLabel *label, const QString &symbolName, int size, const QColor &tint = QColor());

QLabel *text(const QString &text, const QFont &font, const QColor &color = QColor(),
             QWidget *parent = nullptr);
void setTextColor(QWidget *widget, const QColor &color);

// A one-pixel horizontal line in the separator colour.
QFrame *divider(QWidget *parent = nullptr);

} // namespace MainWidgets
