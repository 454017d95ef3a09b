#include "support/Screenshot.h"
#include "views/kit/Controls.h"
#include "views/kit/FlowLayout.h"
#include "views/kit/Palette.h"
#include "views/kit/Pill.h"
#include "views/kit/Symbols.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

TEST(KitTest, EveryStatusHasItsColourAndFill)
{
    EXPECT_EQ(Palette::statusColor(AppOffloadStatus::local), QColor(0x00, 0x7A, 0xFF));
    EXPECT_EQ(Palette::statusColor(AppOffloadStatus::dangling), Palette::red());
    EXPECT_EQ(Palette::statusColor(AppOffloadStatus::needsReoffload), Palette::red());
    EXPECT_DOUBLE_EQ(Palette::statusFillOpacity(AppOffloadStatus::proxy), 0.15);
    EXPECT_DOUBLE_EQ(Palette::statusFillOpacity(AppOffloadStatus::copied), 0.12);
}

TEST(KitTest, SymbolsAlwaysDrawSomething)
{
    QWidget strip;
    auto *row = new QHBoxLayout(&strip);
    for (const char *name : {"externaldrive.fill", "externaldrive.badge.checkmark",
                             "folder.badge.gearshape", "sparkles.tv", "no.such.symbol"}) {
        const QPixmap pixmap = Symbols::pixmap(QString::fromLatin1(name), 32, Palette::purple());
        EXPECT_FALSE(pixmap.isNull()) << name;
        auto *label = new QLabel;
        label->setPixmap(pixmap);
        row->addWidget(label);
    }
    for (const AppOffloadStatus status : allCases<AppOffloadStatus>())
        row->addWidget(new Pill(label(status), Pill::tinted(Palette::statusColor(status),
                                                            Palette::statusFillOpacity(status))));
    strip.resize(strip.sizeHint());
    saveScreenshot(&strip, QStringLiteral("kit/symbols-and-pills"));
}

// Three 100x20 boxes, 10 apart, the last one trailing: where each lands at a given width.
TEST(KitTest, FlowLayoutWrapsAndKeepsTheTrailingItemRight)
{
    struct Case
    {
        int width;
        QList<QPoint> positions;
        int height;
    };
    const QList<Case> cases = {
        {400, {{0, 0}, {110, 0}, {300, 0}}, 20},  // one line, the last pushed right
        {320, {{0, 0}, {110, 0}, {220, 0}}, 20},  // exactly one line
        {250, {{0, 0}, {110, 0}, {150, 25}}, 45}, // the last wraps, still at the right edge
        {100, {{0, 0}, {0, 25}, {0, 50}}, 70},    // one per line, never past the edge
    };
    for (const Case &c : cases) {
        QWidget host;
        auto *flow = new FlowLayout(&host, 10, 5);
        flow->setContentsMargins(0, 0, 0, 0);
        flow->setLastItemTrailing(true);
        QList<QWidget *> boxes;
        for (int i = 0; i < 3; ++i) {
            auto *box = new QWidget;
            box->setFixedSize(100, 20);
            flow->addWidget(box);
            boxes << box;
        }
        EXPECT_EQ(flow->heightForWidth(c.width), c.height) << c.width;
        flow->setGeometry(QRect(0, 0, c.width, c.height));
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(boxes.at(i)->pos(), c.positions.at(i)) << c.width << " box " << i;
    }
}

// A button squeezed by its layout shortens its text and tells the whole of it in its tooltip;
// given room again, it shows the whole text. "&" stays an ampersand throughout.
TEST(KitTest, ButtonsShortenTextsThatDoNotFit)
{
    QWidget row;
    auto *layout = new QHBoxLayout(&row);
    // A place narrower than the button's minimum, as a window below its content's minimum.
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    const QString title = QStringLiteral("Offload to Research & Development Archive Drive");
    QPushButton *button =
        Controls::button(title, QStringLiteral("wide"), Controls::ButtonLook::prominent);
    button->setToolTip(QString());
    layout->addWidget(button);
    const int whole = button->sizeHint().width();
    const struct
    {
        int width;
        bool shortened;
    } cases[] = {{whole + 40, false}, {whole / 2, true}, {whole + 10, false}};
    row.show();
    for (const auto &c : cases) {
        row.resize(c.width + layout->contentsMargins().left() + layout->contentsMargins().right(),
                   row.height());
        layout->activate();
        const QString shown = button->text().replace(QStringLiteral("&&"), QStringLiteral("&"));
        EXPECT_LE(button->width(), c.width);
        if (c.shortened) {
            EXPECT_TRUE(shown.endsWith(QChar(0x2026))) << shown.toStdString();
            EXPECT_LT(shown.size(), title.size());
            EXPECT_EQ(button->toolTip(), title);
        } else {
            EXPECT_EQ(shown, title);
            EXPECT_TRUE(button->toolTip().isEmpty());
        }
    }
    // Layouts keep the whole text as long as they can: a count or a verb cut away would change
    // what the button says.
    EXPECT_EQ(button->minimumSizeHint().width(), whole);
}

} // namespace
