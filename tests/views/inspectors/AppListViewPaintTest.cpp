#include "../PaintedTexts.h"
#include "InspectorFixture.h"
#include "views/main/AppListView.h"

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

} // namespace
