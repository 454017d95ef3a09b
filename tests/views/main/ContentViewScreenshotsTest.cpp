#include "ContentViewFixture.h"

#include "views/main/AppListColumn.h"
#include "views/main/AppListView.h"
#include "volumes/VolumeManager.h"

namespace {

class ContentViewScreenshotsTest : public ContentViewFixture
{};

TEST_F(ContentViewScreenshotsTest, FourStatesOfTheWindow)
{
    open();
    saveScreenshot(window.get(), QStringLiteral("mainwindow-empty"));

    for (const QString &name :
         {QStringLiteral("Pixel Editor"), QStringLiteral("Notes"), QStringLiteral("Terminal Plus")})
        bundle(name);
    bundle(QStringLiteral("Disk Probe"), sandbox.applications() + QStringLiteral("/Utilities"));
    offloaded(QStringLiteral("Studio"), {QStringLiteral("Studio"), QStringLiteral("Studio copy")});
    offloaded(QStringLiteral("Mail Client"), {QStringLiteral("Mail Client")});
    copied(QStringLiteral("Archive Tool"));
    rescan();
    selectBackupDrive(QStringLiteral("Backup"));
    saveScreenshot(window.get(), QStringLiteral("mainwindow-inventory"));

    model->setSelectedAppIds({idOf(QStringLiteral("Notes"))});
    settle();
    saveScreenshot(window.get(), QStringLiteral("mainwindow-one-selected"));

    model->setSelectedAppIds({idOf(QStringLiteral("Notes")), idOf(QStringLiteral("Studio")),
                              idOf(QStringLiteral("Archive Tool"))});
    settle();
    saveScreenshot(window.get(), QStringLiteral("mainwindow-batch"));
}

} // namespace
