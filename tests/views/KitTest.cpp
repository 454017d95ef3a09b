#include "support/Screenshot.h"
#include "views/kit/Palette.h"
#include "views/kit/Pill.h"
#include "views/kit/Symbols.h"

#include <QHBoxLayout>
#include <QLabel>
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

} // namespace
