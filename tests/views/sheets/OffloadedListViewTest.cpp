#include "views/sheets/OffloadedListView.h"
#include "base/OperationError.h"
#include "services/AppScanner.h"
#include "services/LedgerService.h"
#include "support/BundleBuilder.h"
#include "support/Sandbox.h"
#include "support/Screenshot.h"
#include "support/Wait.h"
#include "views/kit/Palette.h"
#include "views/kit/Pill.h"
#include "views/kit/ProxyJobGuard.h"
#include "views/kit/SelectableLabel.h"
#include "views/sheets/SelectionBinding.h"
#include "volumes/VolumeManager.h"

#include <QLabel>
#include <QPushButton>
#include <QSemaphore>
#include <QTest>
#include <QToolButton>
#include <cmath>
#include <gtest/gtest.h>
#include <mutex>

namespace {

class OffloadedListViewTest : public ::testing::Test
{
protected:
    OffloadedListViewTest()
    {
        for (const char *name : {"Editor", "Viewer"}) {
            const QString onDrive =
                BundleBuilder(sandbox.drive() + "/Applications/" + name + ".app").build();
            sandbox.makeSymlink(sandbox.applications() + "/" + name + ".app", onDrive);
        }
        const QString launcherTarget =
            BundleBuilder(sandbox.drive() + "/Applications/Launcher.app").build();
        BundleBuilder(sandbox.applications() + "/Launcher.app")
            .plistValue("IsKorvanthelixProxy", true)
            .plistValue("TargetAppPath", launcherTarget)
            .build();
        BundleBuilder(sandbox.applications() + "/Local.app").build();
    }

    void scan() { ASSERT_TRUE(waitFor(scanner.scanAsync())); }
    QString app(const QString &name) const { return sandbox.applications() + "/" + name + ".app"; }
    QWidget *row(OffloadedListView &view, const QString &name)
    {
        return view.findChild<QWidget *>(QStringLiteral("offloadedRow:") + app(name));
    }
    template<typename T = QPushButton>
    T *control(QWidget *parent, const char *name)
    {
        return parent->findChild<T *>(QString::fromLatin1(name));
    }
    std::unique_ptr<OffloadedListView> makeView()
    {
        auto view = std::make_unique<OffloadedListView>(
            &scanner, &volumes, &selection, [this](const AppItem &item) { restored << item.name; },
            [this](const QList<AppItem> &items) {
                QStringList names;
                for (const AppItem &item : items)
                    names << item.name;
                batches << names;
            });
        view->resize(760, 420);
        view->show();
        return view;
    }

    Sandbox sandbox;
    LedgerService ledger;
    AppScanner scanner{ledger};
    VolumeManager volumes{&ledger};
    SelectionBinding selection;
    QStringList restored;
    QList<QStringList> batches;
};

TEST_F(OffloadedListViewTest, SelectionAndRestoreButtons)
{
    scan();
    const QString elsewhere = app("Local");
    selection.setValue({elsewhere});
    auto view = makeView();
    ASSERT_NE(row(*view, "Editor"), nullptr);
    ASSERT_NE(row(*view, "Launcher"), nullptr);
    EXPECT_EQ(row(*view, "Local"), nullptr);

    // A selection made elsewhere still enables a batch restore, with nothing listed in it.
    QTest::mouseClick(control(view.get(), "restoreSelectedButton"), Qt::LeftButton);
    EXPECT_EQ(batches, QList<QStringList>{QStringList{}});

    QTest::mouseClick(control<QToolButton>(row(*view, "Editor"), "checkBox"), Qt::LeftButton);
    EXPECT_EQ(selection.value(), (QSet<QString>{elsewhere, app("Editor")}));
    drainEvents();
    saveScreenshot(view.get(), QStringLiteral("sheets/offloaded-list"));

    QTest::mouseClick(control(row(*view, "Viewer"), "restoreButton"), Qt::LeftButton);
    EXPECT_EQ(restored, QStringList{"Viewer"});

    QTest::mouseClick(control<QWidget>(row(*view, "Viewer"), "textColumn"), Qt::LeftButton);
    EXPECT_EQ(selection.value(), QSet<QString>{app("Viewer")});

    QTest::mouseClick(control(view.get(), "selectAllButton"), Qt::LeftButton);
    EXPECT_EQ(selection.value(), (QSet<QString>{app("Editor"), app("Viewer"), app("Launcher")}));
    QTest::mouseClick(control(view.get(), "restoreSelectedButton"), Qt::LeftButton);
    EXPECT_EQ(batches.last().size(), 3);

    QTest::mouseClick(control(view.get(), "clearSelectionButton"), Qt::LeftButton);
    EXPECT_TRUE(selection.value().isEmpty());
}

TEST_F(OffloadedListViewTest, MakeVisibleReportsEachOutcomeInTheNotice)
{
    scan();
    auto view = makeView();
    std::mutex mutex;
    QStringList promoted;
    QSemaphore proceed;
    view->setPromoteOperation([&](const AppItem &item) {
        proceed.acquire();
        const std::lock_guard lock(mutex);
        promoted << item.name;
        if (item.name == QLatin1String("Viewer"))
            throw OperationError(QStringLiteral("AppProxyHelper"), 2, QStringLiteral("no room"));
        return QUrl::fromLocalFile("/Applications/" + item.name + ".app");
    });
    QPushButton *makeVisible = control(view.get(), "makeVisibleButton");
    QTest::mouseClick(makeVisible, Qt::LeftButton);
    EXPECT_TRUE(view->isProcessingProxies());
    EXPECT_FALSE(makeVisible->isEnabled());
    proceed.release(3);
    ASSERT_TRUE(waitUntil([&] { return !view->isProcessingProxies(); }));

    EXPECT_EQ(promoted.size(), 3);
    EXPECT_EQ(view->proxyNotice(),
              QStringLiteral("Created 2 proxies. (1 failed: Viewer (no room))"));
    EXPECT_TRUE(control<QWidget>(view.get(), "noticeLabel")->isVisible());
    EXPECT_TRUE(makeVisible->isEnabled());
    drainEvents();
    saveScreenshot(view.get(), QStringLiteral("sheets/offloaded-list-notice"));
    QTest::mouseClick(control(view.get(), "dismissNoticeButton"), Qt::LeftButton);
    EXPECT_FALSE(control<QWidget>(view.get(), "noticeLabel")->isVisible());

    // Another proxy job holds the process-wide guard: the press is refused, nothing runs.
    {
        auto lease = ProxyJobGuard::shared().tryAcquire();
        ASSERT_TRUE(lease.has_value());
        QTest::mouseClick(makeVisible, Qt::LeftButton);
        EXPECT_FALSE(view->isProcessingProxies());
        EXPECT_EQ(view->proxyNotice(), ProxyJobGuard::refusalNotice());
    }
    EXPECT_EQ(promoted.size(), 3);
    waitFor(scanner.scanAsync());
}

TEST_F(OffloadedListViewTest, EmptyStateStillShowsAForeignSelection)
{
    selection.setValue({app("Local")});
    auto view = makeView();
    EXPECT_FALSE(control<QWidget>(view.get(), "selectAllButton")->isVisible());
    EXPECT_TRUE(control<QWidget>(view.get(), "selectionLabel")->isVisible());
    drainEvents();
    saveScreenshot(view.get(), QStringLiteral("sheets/offloaded-list-empty"));

    // The list follows the scanner.
    scan();
    drainEvents();
    EXPECT_NE(row(*view, "Editor"), nullptr);
}

} // namespace

namespace {

// The kind badge's text is drawn in the kind's colour, selected row or not.
TEST_F(OffloadedListViewTest, KindBadgesShowTheirColour)
{
    scan();
    auto view = makeView();
    selection.setValue({app("Editor")});
    drainEvents();
    for (const char *name : {"Editor", "Launcher", "Viewer"}) {
        QWidget *line = row(*view, QString::fromLatin1(name));
        ASSERT_TRUE(line) << name;
        auto *kind = control<Pill>(line, "kindBadge");
        ASSERT_TRUE(kind) << name;
        const QColor colour = kind->pillStyle().textColor;
        const QImage picture = kind->grab().toImage();
        int near = 0;
        int dark = 0;
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                const QColor pixel = picture.pixelColor(x, y);
                const int distance = std::abs(pixel.red() - colour.red()) +
                                     std::abs(pixel.green() - colour.green()) +
                                     std::abs(pixel.blue() - colour.blue());
                near += distance < 60 ? 1 : 0;
                dark += pixel.lightness() < 60 ? 1 : 0;
            }
        }
        EXPECT_GT(near, 5) << name;
        EXPECT_EQ(dark, 0) << name;
    }
    // On a selected row the kind badge and the blue check mark stay readable: the row's tint
    // keeps a contrast of at least 3 to both.
    selection.setValue({app("Editor"), app("Launcher")});
    drainEvents();
    const auto luminance = [](const QColor &c) {
        const auto channel = [](qreal v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const auto contrast = [&](const QColor &a, const QColor &b) {
        const qreal la = luminance(a);
        const qreal lb = luminance(b);
        return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
    };
    QWidget *selected = row(*view, QStringLiteral("Launcher"));
    ASSERT_TRUE(selected);
    QWidget *viewport = selected->parentWidget();
    const QColor tint = viewport->grab().toImage().pixelColor(
        selected->mapTo(viewport, QPoint(selected->width() / 2, 1)));
    EXPECT_GE(contrast(tint, control<Pill>(selected, "kindBadge")->pillStyle().textColor), 3.0)
        << tint.name().toStdString();
    EXPECT_GE(contrast(tint, Palette::blue()), 3.0) << tint.name().toStdString();
}

// In the narrowest column a row's badges stay whole while its name and the path of its drive
// copy give way, and each text shortened shows whole as its tooltip.
TEST_F(OffloadedListViewTest, NarrowRowsKeepTheirBadgesWhole)
{
    const QString name = QStringLiteral("Research and Development Planning Suite");
    const QString onDrive =
        BundleBuilder(sandbox.drive() + "/Applications/" + name + ".app").build();
    BundleBuilder(sandbox.applications() + "/" + name + ".app")
        .plistValue("IsKorvanthelixProxy", true)
        .plistValue("TargetAppPath", onDrive)
        .build();
    scan();
    auto view = makeView();
    // The offloaded column of the smallest window.
    view->resize(360, 420);
    drainEvents();
    QWidget *line = row(*view, name);
    ASSERT_TRUE(line);
    line->grab(); // pills follow their size when painted
    const auto *kind = control<Pill>(line, "kindBadge");
    ASSERT_TRUE(kind);
    EXPECT_EQ(kind->text(), QStringLiteral("PROXY"));
    EXPECT_FALSE(kind->isShortened());
    const auto *title = control<Pill>(line, "nameLabel");
    ASSERT_TRUE(title);
    EXPECT_TRUE(title->isShortened());
    EXPECT_EQ(title->toolTip(), name);
    const auto *path = control<SelectableLabel>(line, "storedOnLabel");
    ASSERT_TRUE(path);
    EXPECT_TRUE(path->isShortened());
    EXPECT_EQ(path->toolTip(), onDrive);
    for (const QLabel *label : line->findChildren<QLabel *>()) {
        if (label->text() == QStringLiteral("Stored on:")) {
            EXPECT_GE(label->width(), label->sizeHint().width());
        }
    }
}

} // namespace
