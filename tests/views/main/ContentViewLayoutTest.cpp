#include "../PaintedTexts.h"
#include "ContentViewFixture.h"

#include "app/MenuCommands.h"
#include "services/LedgerService.h"
#include "views/kit/Controls.h"
#include "views/kit/Pill.h"
#include "views/kit/SelectableLabel.h"
#include "views/main/SidebarManager.h"
#include "volumes/VolumeManager.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QToolButton>

namespace {

// What a user can see of a control, in window coordinates, or why it is cut off.
struct Placement
{
    QRect rect; // empty when scrolled out of sight
    std::optional<QString> clippedBy;
};

QString describe(const QWidget *widget)
{
    QString text;
    if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
        text = button->text();
    else if (const auto *label = qobject_cast<const QLabel *>(widget))
        text = label->text();
    return QString::fromLatin1(widget->metaObject()->className()) + QLatin1Char(' ') +
           widget->objectName() + QStringLiteral(" \"") + text + QLatin1Char('"');
}

// Walks up to the window: every ancestor must hold the control wholly, except that a
// scrolled view may hide it (then it is out of sight) or cut it at its top or bottom edge.
Placement place(const QWidget *widget)
{
    const QWidget *window = widget->window();
    QRect rect(QPoint(0, 0), widget->size());
    const QWidget *child = widget;
    for (const QWidget *parent = widget->parentWidget(); child != window;
         child = parent, parent = parent->parentWidget()) {
        rect.translate(child->pos());
        const auto *area = qobject_cast<const QAbstractScrollArea *>(parent->parentWidget());
        const bool scrolled = area && area->viewport() == parent;
        const QRect bounds = parent->rect();
        if (scrolled) {
            if (!rect.intersects(bounds))
                return {QRect(), std::nullopt};
            const bool horizontal = area->horizontalScrollBar()->isVisible();
            if (!horizontal && (rect.left() < bounds.left() || rect.right() > bounds.right()))
                return {rect, describe(parent)};
            rect = rect.intersected(bounds);
            continue;
        }
        if (!bounds.contains(rect))
            return {rect, describe(parent)};
    }
    return {rect, std::nullopt};
}

// The text a widget means to show, as a reader takes it in; empty when it has none or draws
// something else (rich text, a custom control).
QString fullText(const QWidget *widget)
{
    if (const auto *pill = qobject_cast<const Pill *>(widget))
        return pill->pixmap().isNull() ? pill->fullText() : QString();
    if (const auto *label = qobject_cast<const SelectableLabel *>(widget))
        return label->fullText().isEmpty() ? label->text() : label->fullText();
    if (const auto *label = qobject_cast<const QLabel *>(widget))
        return label->pixmap().isNull() && label->textFormat() == Qt::PlainText ? label->text()
                                                                                : QString();
    if (const auto *button = qobject_cast<const FittingButton *>(widget))
        return button->fullText();
    if (qobject_cast<const QPushButton *>(widget) || qobject_cast<const QToolButton *>(widget)) {
        // "&&" shows one "&"; a lone "&" marks a mnemonic and is not shown.
        QString shown;
        const QString text = static_cast<const QAbstractButton *>(widget)->text();
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text[i] == QLatin1Char('&') && ++i == text.size())
                break;
            shown.append(text[i]);
        }
        return shown;
    }
    return {};
}

QString squeezed(QString text)
{
    static const QRegularExpression space(QStringLiteral("\\s+"));
    return text.remove(space);
}

// What is wrong with the texts the widget paints: markup shown as characters, a text cut by
// the widget's edge, or a text that is neither whole nor shortened with "…" and a tooltip.
std::optional<QString> textFault(QWidget *widget)
{
    static const QRegularExpression markup(
        QStringLiteral("<\\s*/?\\s*[a-zA-Z][^>]*>|&[a-zA-Z]+;|&#[0-9]+;|\\b[a-z]+>&"));
    const QList<PaintedTexts::Item> items = PaintedTexts::itemsOf(widget);
    QStringList texts;
    for (const PaintedTexts::Item &item : items) {
        texts.append(item.text);
        if (markup.match(item.text).hasMatch())
            return QStringLiteral("shows markup \"%1\"").arg(item.text);
        if (!QRectF(widget->rect()).adjusted(-1, -2, 1, 2).contains(item.rect))
            return QStringLiteral("cuts \"%1\" at its edge").arg(item.text);
    }
    const QString full = fullText(widget);
    if (full.isEmpty() || texts.isEmpty())
        return std::nullopt;
    const QString painted = squeezed(texts.join(QString()));
    if (painted == squeezed(full))
        return std::nullopt;
    const QString ellipsis = QStringLiteral("\u2026");
    const qsizetype cut = painted.indexOf(ellipsis);
    const QString whole = squeezed(full);
    if (cut >= 0 && whole.startsWith(painted.left(cut)) && whole.endsWith(painted.mid(cut + 1)) &&
        widget->toolTip() == full)
        return std::nullopt;
    return QStringLiteral("paints \"%1\" for \"%2\" (tooltip \"%3\")")
        .arg(texts.join(QLatin1Char('|')), full, widget->toolTip());
}

class ContentViewLayoutTest : public ContentViewFixture
{
protected:
    // Every kind of row and banner, names long and short, a drive with a long name and two
    // history records.
    void inventory()
    {
        for (const QString &name :
             {QStringLiteral("Pixel Editor"), QStringLiteral("Notes"),
              QStringLiteral("Research & Development Planning Suite Professional Edition")})
            bundle(name);
        bundle(QStringLiteral("Disk Probe"), sandbox.applications() + QStringLiteral("/Utilities"));
        bundle(QStringLiteral("Long Nested Application Name For Layout"),
               sandbox.applications() + QStringLiteral("/Graphics & Design/Editors"));
        offloaded(QStringLiteral("Studio"),
                  {QStringLiteral("Studio"), QStringLiteral("Studio copy")});
        offloaded(QStringLiteral("Mail Client With A Rather Long Name"),
                  {QStringLiteral("Mail Client With A Rather Long Name")});
        copied(QStringLiteral("Archive Tool"));
        for (const QString &name : {QStringLiteral("Studio"), QStringLiteral("Archive Tool")}) {
            ledger.recordMigration(MigrationRecord(
                QStringLiteral("2025-01-31T14:05:09Z"), name, QStringLiteral("com.example.") + name,
                QStringLiteral("4.2"), sandbox.applications() + QLatin1Char('/') + name + ".app",
                sandbox.drive() + QStringLiteral("/Applications/") + name + ".app", true,
                name == QStringLiteral("Studio") ? QStringLiteral("active")
                                                 : QStringLiteral("copied"),
                {}));
        }
        rescan();
        selectBackupDrive(QStringLiteral("External Backup Drive & Archive"));
    }

    // A new window, opened as the program opens one on `screen`: with its menus, fitted to the
    // screen at its first size, or at `restored` when given (a size and place of another run).
    void openOn(QScreen *screen, const std::optional<QRect> &restored)
    {
        if (window) {
            model->setParent(nullptr);
            window.reset();
        }
        window = std::make_unique<MainWindow>(model.get(), commands);
        MenuCommands::install(window->menuBar(), commands, SidebarManager::shared(), [] {});
        window->setScreen(screen);
        if (restored)
            window->setGeometry(*restored);
        window->fitToScreen();
        window->show();
        ASSERT_TRUE(waitUntil([this] { return !model->appScanner().isScanning(); }));
        settle();
    }

    // Every visible text, button, text field, pill, chip and tile that is in sight, with what
    // is wrong with it; outside `screenArea` too, when given.
    QStringList faults(const QRect &screenArea = QRect()) const
    {
        struct Seen
        {
            const QWidget *widget;
            QRect rect;
        };
        QList<Seen> seen;
        QStringList found;
        const QRect windowRect = window->rect();
        const QList<QWidget *> widgets = window->findChildren<QWidget *>();
        for (const QWidget *widget : widgets) {
            const bool control = qobject_cast<const QAbstractButton *>(widget) ||
                                 qobject_cast<const QLineEdit *>(widget) ||
                                 qobject_cast<const QLabel *>(widget) ||
                                 widget->objectName().endsWith(QLatin1String("Tile"));
            if (!control || !widget->isVisible() || widget->window() != window.get() ||
                widget->size().isEmpty())
                continue;
            const Placement placement = place(widget);
            if (placement.rect.isEmpty())
                continue;
            if (placement.clippedBy)
                found.append(describe(widget) + QStringLiteral(" cut off by ") +
                             *placement.clippedBy);
            else if (!windowRect.contains(placement.rect))
                found.append(describe(widget) + QStringLiteral(" outside the window"));
            else if (screenArea.isValid() &&
                     !screenArea.contains(placement.rect.translated(window->mapToGlobal(QPoint()))))
                found.append(describe(widget) + QStringLiteral(" off the screen"));
            else if (const std::optional<QString> fault = textFault(const_cast<QWidget *>(widget)))
                found.append(describe(widget) + QLatin1Char(' ') + *fault);
            seen.append({widget, placement.rect});
        }
        for (qsizetype i = 0; i < seen.size(); ++i) {
            for (qsizetype j = i + 1; j < seen.size(); ++j) {
                const Seen &a = seen[i];
                const Seen &b = seen[j];
                if (a.widget->isAncestorOf(b.widget) || b.widget->isAncestorOf(a.widget))
                    continue;
                if (a.rect.intersects(b.rect))
                    found.append(describe(a.widget) + QStringLiteral(" overlaps ") +
                                 describe(b.widget));
            }
        }
        return found;
    }
};

// What must stand on one row at the first size: the view, then the object names of the row's
// parts (those shown); and what the summary chips must read.
QStringList rowFaults(const QWidget *window, bool firstSize)
{
    QStringList found;
    const QList<QStringList> rows = {
        {"appListColumn", "selectAllButton", "appCountLabel", "sortMenuButton"},
        {"offloadedListView", "pageTitle", "selectAllButton", "restoreSelectedButton",
         "makeVisibleButton"},
        {"historyView", "pageTitle", "realAppsSegment", "purgeTestsButton", "viewLogsButton",
         "refreshButton", "moreMenuButton"},
        {"appDetailView", "revealInFinderButton", "revealOnDriveButton", "mainActionButton"},
    };
    for (const QStringList &row : rows) {
        const auto *view = window->findChild<QWidget *>(row.first());
        std::optional<int> centre;
        for (const QString &name : row.mid(1)) {
            const QList<QWidget *> parts =
                view ? view->findChildren<QWidget *>(name) : QList<QWidget *>();
            for (const QWidget *part : parts) {
                if (!firstSize || !part->isVisible() || part->window() != window)
                    continue;
                const int y = part->mapTo(window, part->rect().center()).y();
                if (centre && std::abs(*centre - y) > 3)
                    found.append(name + QStringLiteral(" is not on the row of ") + row.at(1));
                centre = centre.value_or(y);
            }
        }
    }
    // Each chip: its count in bold, then its label; never the markup that once made them.
    for (QWidget *chip : window->findChildren<QWidget *>(QStringLiteral("summaryChip"))) {
        if (!chip->isVisible())
            continue;
        QStringList painted;
        for (const PaintedTexts::Item &item : PaintedTexts::itemsOf(chip))
            painted.append(item.text);
        const QStringList expected = {chip->property("chipCount").toString(),
                                      chip->property("chipLabel").toString()};
        if (painted != expected && !(painted.size() == 2 && painted[0] == expected[0] &&
                                     painted[1].endsWith(QStringLiteral("\u2026"))))
            found.append(QStringLiteral("summary chip paints ") + painted.join(QLatin1Char('|')));
    }
    return found;
}

// On screens of a laptop, a larger laptop and a desktop, opened at its first size or at a
// size and place kept from another run, then at the smallest and a large size; in every section,
// with nothing, one and several applications selected: the window and every text and control lie
// wholly on the screen's free area and in sight, none covers another, every text reads whole
// or shortened with "…" (never cut, never markup), and at the preferred size the headers and the
// action bar stand on one row.
TEST_F(ContentViewLayoutTest, EveryControlFitsTheWindowAndTheScreen)
{
    open(QSize());
    const QSize preferred = window->size();
    inventory();
    const auto screenNamed = [](const QString &name) -> QScreen * {
        for (QScreen *screen : QGuiApplication::screens()) {
            if (screen->name() == name)
                return screen;
        }
        return nullptr;
    };
    const struct
    {
        const char *screen;
        std::optional<QRect> restored; // from the screen's top left
        std::optional<QSize> size;     // then resized to
    } cases[] = {
        {"1280x800", {}, {}},
        {"1440x900", {}, {}},
        {"2560x1440", {}, {}},
        {"1280x800", QRect(400, 200, 1600, 1000), {}},
        {"2560x1440", QRect(-400, -200, 900, 700), {}},
        {"2560x1440", {}, QSize(920, 620)},
        {"2560x1440", {}, QSize(1600, 1000)},
    };
    for (const auto &c : cases) {
        QScreen *screen = screenNamed(QString::fromLatin1(c.screen));
        if (!screen) {
            GTEST_SKIP() << "the platform has no screen " << c.screen;
        }
        const QRect area = screen->availableGeometry();
        openOn(screen, c.restored ? std::optional<QRect>(c.restored->translated(area.topLeft()))
                                  : std::nullopt);
        if (c.size) {
            window->resize(*c.size);
            settle();
            ASSERT_EQ(window->width(), c.size->width());
        }
        const QString opened = QStringLiteral("%1 %2x%3")
                                   .arg(QString::fromLatin1(c.screen))
                                   .arg(window->width())
                                   .arg(window->height());
        EXPECT_TRUE(area.contains(window->frameGeometry())) << opened.toStdString();
        if (!c.size && !c.restored && area.size().boundedTo(preferred) == preferred) {
            EXPECT_EQ(window->size(), preferred) << opened.toStdString();
        }
        // The smallest window holds the smallest content under its menus and toolbar.
        EXPECT_LE(window->height() - view().height(), 80) << opened.toStdString();
        for (const NavigationSection section : allCases<NavigationSection>()) {
            model->setSelectedSection(section);
            settle();
            QList<AppItem> listed = model->filteredApps();
            for (const int count : {0, 1, 3}) {
                QSet<QString> ids;
                for (const AppItem &app : listed.mid(0, count))
                    ids.insert(app.id());
                model->setSelectedAppIds(ids);
                settle();
                const QString where =
                    opened + QStringLiteral(" %1, %2 selected").arg(label(section)).arg(ids.size());
                const QStringList found =
                    faults(area) + rowFaults(window.get(), window->size() == preferred);
                EXPECT_TRUE(found.isEmpty()) << where.toStdString() << ":\n  "
                                             << found.join(QStringLiteral("\n  ")).toStdString();
                if (!found.isEmpty())
                    saveScreenshot(window.get(),
                                   QStringLiteral("layout/") +
                                       QString(where).replace(QLatin1Char(' '), QLatin1Char('-')));
            }
        }
    }
}

} // namespace
