#include "ContentViewFixture.h"

#include "services/LedgerService.h"
#include "views/kit/Pill.h"
#include "volumes/VolumeManager.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QLineEdit>
#include <QScrollBar>

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

    // Every visible button, text field and pill that is in sight, with what is wrong with it.
    QStringList faults() const
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
                                 qobject_cast<const Pill *>(widget);
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

// At the smallest and the first size, in every section, with nothing, one and several
// applications selected: every control is wholly in sight and none covers another.
TEST_F(ContentViewLayoutTest, EveryControlFitsTheWindow)
{
    open(QSize(1200, 800));
    inventory();
    for (const QSize size : {QSize(1200, 800), QSize(920, 620)}) {
        // The smallest window holds the smallest content under its toolbar.
        window->resize(size);
        settle();
        ASSERT_EQ(window->width(), size.width());
        ASSERT_LE(window->height() - view().height(), 80);
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
                const QString where = QStringLiteral("%1x%2 %3, %4 selected")
                                          .arg(window->width())
                                          .arg(window->height())
                                          .arg(label(section))
                                          .arg(ids.size());
                const QStringList found = faults();
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
