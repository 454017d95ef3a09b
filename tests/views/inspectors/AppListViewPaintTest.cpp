#include "../PaintedTexts.h"
#include "InspectorFixture.h"
#include "views/main/AppListView.h"

#include <QHelpEvent>
#include <QToolTip>

namespace {

class AppListViewPaintTest : public InspectorFixture
{};

// The list paints its rows through one row widget; every badge the row asks for must reach
// the screen, whatever the row painted before it.
TEST_F(AppListViewPaintTest, PaintedRowsShowEveryBadge)
{
    AppItem mixer = proxy(QStringLiteral("Mixer"));
    AppItem outOfSync = bundle(QStringLiteral("Applications/Notes.app"), 9'000'000);
    outOfSync.isUpdateOutOfSync = true;
    outOfSync.externalVersion = QStringLiteral("2.0");
    AppItem running = bundle(QStringLiteral("Applications/Graphics/Sketch & Paint.app"));
    running.isRunning = true;
    AppItem aliased = linked(QStringLiteral("Photo Lab"));
    aliased.duplicateAliasPaths = {sandbox.applications() + QStringLiteral("/Photo Lab alias")};
    const AppItem plain = bundle(QStringLiteral("Applications/Plain.app"));

    const struct
    {
        AppItem app;
        QStringList badges;
    } rows[] = {
        {plain, {}},
        {mixer, {"PROXY"}},
        {outOfSync, {"OUT OF SYNC"}},
        {running, {"RUNNING", "Graphics"}},
        {aliased, {"2 Aliases"}},
    };
    // Each order, so a row is painted both after a row with badges and after one without.
    for (const bool reversed : {false, true}) {
        QList<AppItem> apps;
        for (const auto &row : rows)
            reversed ? apps.prepend(row.app) : apps.append(row.app);
        AppListView list;
        list.resize(640, 600);
        list.appModel()->setApps(apps);
        list.show();
        for (const auto &row : rows) {
            const int index = int(apps.indexOf(row.app));
            const QRect rect = list.visualRect(list.appModel()->index(index));
            ASSERT_TRUE(list.viewport()->rect().contains(rect)) << row.app.name.toStdString();
            // Only this row: the painted texts of the viewport clipped to it.
            const QStringList texts = [&] {
                PaintedTexts device(list.viewport()->size());
                list.viewport()->render(&device, QPoint(), QRegion(rect), QWidget::DrawChildren);
                return device.recorded();
            }();
            const QString painted = texts.join(QLatin1Char('|'));
            EXPECT_TRUE(painted.contains(row.app.name)) << painted.toStdString();
            for (const QString &badge : row.badges)
                EXPECT_TRUE(texts.contains(badge))
                    << row.app.name.toStdString() << ": " << badge.toStdString() << " not in "
                    << painted.toStdString();
            if (row.badges.isEmpty()) {
                for (const auto &other : rows) {
                    for (const QString &badge : other.badges)
                        EXPECT_FALSE(texts.contains(badge)) << badge.toStdString();
                }
            }
        }
    }
}

// In a narrow list every text a row shortens shows whole under the mouse, through the
// delegate; the version comparison shortens its versions and keeps its "vs Drive"; where
// nothing is shortened the row's path shows.
TEST_F(AppListViewPaintTest, ShortenedTextsShowWholeOnHover)
{
    const AppItem longName = bundle(
        QStringLiteral("Applications/Research and Development Planning Suite Professional.app"));
    const AppItem stored = linked(QStringLiteral("Field Recorder"));
    AppItem versions = bundle(QStringLiteral("Applications/Notes.app"));
    versions.isUpdateOutOfSync = true;
    versions.version = QStringLiteral("3.3 (3300)");
    versions.externalVersion = QStringLiteral("3.2 (3200)");

    const struct
    {
        AppItem app;
        QString shortenedFrom; // the painted text that is shortened begins so
        QString whole;
        QString keeps; // and still reads this
    } rows[] = {
        {longName, QStringLiteral("Research"), longName.name, {}},
        {stored, QStringLiteral("/"), stored.symlinkTarget.value_or(QString()), {}},
        {versions, QStringLiteral("Mac: v3"),
         QStringLiteral("Mac: v3.3 (3300) vs Drive: v3.2 (3200)"), QStringLiteral(" vs Drive: v3")},
    };
    for (const auto &row : rows) {
        AppListView list;
        list.resize(340, 200);
        list.appModel()->setApps({row.app});
        list.show();
        const QStringList painted = PaintedTexts::of(list.viewport());
        const auto shortened =
            std::find_if(painted.cbegin(), painted.cend(), [&](const auto &text) {
                return text.startsWith(row.shortenedFrom) && text.contains(u'\u2026');
            });
        ASSERT_NE(shortened, painted.cend()) << painted.join(u'|').toStdString();
        EXPECT_TRUE(shortened->contains(row.keeps)) << shortened->toStdString();
        // What the mouse shows across the row.
        QSet<QString> tips;
        const QRect rect = list.visualRect(list.appModel()->index(0));
        for (int y = rect.top(); y <= rect.bottom(); y += 3) {
            for (int x = rect.left(); x <= rect.right(); x += 4) {
                QToolTip::hideText();
                QHelpEvent event(QEvent::ToolTip, {x, y},
                                 list.viewport()->mapToGlobal(QPoint(x, y)));
                QCoreApplication::sendEvent(list.viewport(), &event);
                tips.insert(QToolTip::text());
            }
        }
        EXPECT_EQ(tips, QSet<QString>({row.whole, row.app.id()}))
            << QStringList(tips.cbegin(), tips.cend()).join(u'|').toStdString();
    }
    QToolTip::hideText();
}

} // namespace
