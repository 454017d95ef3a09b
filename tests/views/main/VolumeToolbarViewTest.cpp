#include "ContentViewFixture.h"

#include "views/main/VolumeToolbarView.h"
#include "volumes/VolumeManager.h"

#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QPromise>
#include <QSignalSpy>

namespace {

class VolumeToolbarViewTest : public ContentViewFixture
{
protected:
    VolumeToolbarView *toolbar() const { return view().volumeToolbar(); }

    TargetVolume listed(const QString &name, const QString &type)
    {
        const QString root = sandbox.addDrive(name);
        return TargetVolume{
            QUrl::fromLocalFile(root), name, 1'000'000'000, 250'000'000, true, true, type, true};
    }

    QString label(const QString &name) const
    {
        const auto *label = toolbar()->findChild<QLabel *>(name);
        return label && label->isVisible() ? label->text() : QString();
    }

    // The menu as the user reads it: sections in brackets, check marks as a leading "*".
    QStringList menuTexts() const
    {
        QStringList texts;
        const QList<QAction *> actions = toolbar()->driveMenu()->actions();
        for (const QAction *action : actions) {
            if (action->isSeparator() && action->text().isEmpty())
                texts.append(QStringLiteral("--"));
            else if (action->isSeparator())
                texts.append(QLatin1Char('[') + action->text() + QLatin1Char(']'));
            else {
                const bool row = action->objectName() == QLatin1String("volumeRow") ||
                                 action->objectName() == QLatin1String("customFolderRow");
                texts.append((row && !action->icon().isNull() ? QStringLiteral("*") : QString()) +
                             action->text());
            }
        }
        return texts;
    }

    QAction *action(const QString &objectName, int index = 0) const
    {
        QList<QAction *> found;
        const QList<QAction *> actions = toolbar()->driveMenu()->actions();
        for (QAction *action : actions) {
            if (action->objectName() == objectName)
                found.append(action);
        }
        return found.value(index);
    }
};

TEST_F(VolumeToolbarViewTest, LabelAndMenuFollowTheDrives)
{
    open();
    EXPECT_EQ(label(QStringLiteral("targetCaption")), QStringLiteral("Target Drive"));
    EXPECT_EQ(label(QStringLiteral("noTargetTitle")), QStringLiteral("No Drive Selected"));
    EXPECT_EQ(menuTexts(),
              QStringList({"No External Storage Drives Detected", "--",
                           "Choose Specific Target Folder\u2026", "Refresh Connected Drives"}));
    EXPECT_FALSE(action(QStringLiteral("noDrivesNote"))->isEnabled());

    const TargetVolume backup = listed(QStringLiteral("Backup"), QStringLiteral("APFS"));
    const TargetVolume stick = listed(QStringLiteral("Stick"), QStringLiteral("MSDOS"));
    model->volumeManager().applyRefreshedVolumes({backup, stick});
    action(QStringLiteral("volumeRow"), 0)->trigger();
    settle();
    EXPECT_EQ(label(QStringLiteral("targetCaption")), QStringLiteral("Target:"));
    EXPECT_EQ(label(QStringLiteral("targetTitle")), QStringLiteral("Backup (APFS)"));
    EXPECT_EQ(label(QStringLiteral("targetFree")), QStringLiteral("250 MB free"));
    EXPECT_TRUE(label(QStringLiteral("noTargetTitle")).isEmpty());
    EXPECT_EQ(
        menuTexts(),
        QStringList({"[Connected External Drives]", "*Backup (APFS)  \u2014 250 MB free of 1 GB",
                     "\u26A0\uFE0F Stick (MSDOS - Incompatible)", "--",
                     "Choose Specific Target Folder\u2026", "Refresh Connected Drives", "--",
                     "Safely Eject Backup\u2026"}));

    // The incompatible drive can still be chosen, and the label shows it like any other.
    action(QStringLiteral("volumeRow"), 1)->trigger();
    settle();
    EXPECT_EQ(model->volumeManager().selectedVolume(), stick);
    EXPECT_EQ(label(QStringLiteral("targetTitle")), QStringLiteral("Stick (MSDOS)"));
}

TEST_F(VolumeToolbarViewTest, CustomFolderFromThePanel)
{
    FakeVolumeService::Volume drive;
    drive.values.volumeName = QStringLiteral("Drive");
    drive.values.isRemovable = true;
    drive.values.isInternal = false;
    drive.values.isRootFileSystem = false;
    drive.values.isVolume = true;
    drive.values.supportsSymlinks = true;
    drive.space = FileSystemSpace{2'000'000'000, 1'000'000'000};
    drive.typeName = QStringLiteral("ext4");
    sandbox.system().fakeVolumes().setVolume(sandbox.drive(), drive);
    const QString folder = sandbox.makeFolder(sandbox.drive() + QStringLiteral("/Apps"));
    open();

    action(QStringLiteral("chooseFolderAction"))->trigger();
    QFileDialog *panel = toolbar()->folderPanel();
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->labelText(QFileDialog::Accept), QStringLiteral("Set as Target"));
    EXPECT_EQ(panel->fileMode(), QFileDialog::Directory);
    EXPECT_EQ(QDir(panel->directory()).canonicalPath(),
              QDir(sandbox.volumesRoot()).canonicalPath());
    EXPECT_TRUE(panel->findChild<QLabel *>(QStringLiteral("panelMessage")));
    emit panel->urlSelected(QUrl::fromLocalFile(folder));
    panel->reject();
    settle();

    EXPECT_EQ(label(QStringLiteral("targetTitle")), QStringLiteral("Apps (Drive) (EXT4)"));
    const QStringList texts = menuTexts();
    EXPECT_TRUE(texts.contains(QStringLiteral("[Custom Destination Folder]")));
    EXPECT_TRUE(texts.contains(QStringLiteral("*Folder: Apps (Drive)")));
    EXPECT_EQ(texts.last(), QStringLiteral("Safely Eject Apps (Drive)\u2026"));

    // A drive mounted outside the volumes root: the restore could never bring back what went
    // there, so the folder is refused and an alert says why; the target stays.
    const QString elsewhere = sandbox.makeFolder(sandbox.path(QStringLiteral("mnt/usb")));
    drive.values.volumeName = QStringLiteral("USB");
    sandbox.system().fakeVolumes().setVolume(elsewhere, drive);
    action(QStringLiteral("chooseFolderAction"))->trigger();
    panel = toolbar()->folderPanel();
    ASSERT_TRUE(panel);
    emit panel->urlSelected(QUrl::fromLocalFile(elsewhere));
    panel->reject();
    settle();
    QMessageBox *alert = toolbar()->folderRefusedAlert();
    ASSERT_TRUE(alert);
    EXPECT_TRUE(alert->isVisible());
    EXPECT_EQ(alert->windowTitle(), QStringLiteral("Target Folder"));
    EXPECT_EQ(alert->text(), QStringLiteral("This folder cannot be the target: the folder '") +
                                 elsewhere + QStringLiteral("' is not on a drive in '") +
                                 sandbox.volumesRoot() +
                                 QStringLiteral("', so nothing copied there could be restored."));
    alert->accept();
    EXPECT_EQ(label(QStringLiteral("targetTitle")), QStringLiteral("Apps (Drive) (EXT4)"));
}

TEST_F(VolumeToolbarViewTest, FailedEjectShowsTheAlert)
{
    QList<TargetVolume> ejected;
    TransferOperations operations;
    operations.safelyEject = [&ejected](const TargetVolume &volume) {
        ejected.append(volume);
        QPromise<EjectResult> promise;
        promise.start();
        promise.addResult(EjectResult{false, std::nullopt});
        promise.finish();
        return promise.future();
    };
    model->setTransferOperations(operations);
    open();
    const TargetVolume backup = listed(QStringLiteral("Backup"), QStringLiteral("APFS"));
    model->volumeManager().applyRefreshedVolumes({backup});
    model->volumeManager().selectVolume(backup);
    settle();

    QSignalSpy finished(toolbar(), &VolumeToolbarView::ejectFinished);
    action(QStringLiteral("ejectAction"))->trigger();
    ASSERT_TRUE(waitUntil([&] { return finished.count() == 1; }));
    EXPECT_EQ(ejected, QList<TargetVolume>{backup});
    QMessageBox *alert = toolbar()->ejectAlert();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->windowTitle(), QStringLiteral("Safely Eject Drive"));
    EXPECT_EQ(alert->text(), QStringLiteral("Unable to eject drive."));
    alert->accept();
}

// The menu is made afresh as it opens; a drive that went away while it was open is not
// selected, and the user is told. Names show as written, "&" included.
TEST_F(VolumeToolbarViewTest, MenuFollowsTheDrivesAsItOpens)
{
    open();
    const TargetVolume research = listed(QStringLiteral("R&D"), QStringLiteral("APFS"));
    const TargetVolume stick = listed(QStringLiteral("Stick"), QStringLiteral("APFS"));
    model->volumeManager().applyRefreshedVolumes({research, stick});
    settle();

    QMenu *menu = toolbar()->driveMenu();
    menu->popup(toolbar()->mapToGlobal(QPoint(0, toolbar()->height())));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    QAction *staleStick = action(QStringLiteral("volumeRow"), 1);
    ASSERT_TRUE(staleStick);
    EXPECT_EQ(action(QStringLiteral("volumeRow"), 0)->text().replace(QStringLiteral("&&"), "&"),
              QStringLiteral("R&D (APFS)  \u2014 250 MB free of 1 GB"));
    // The stick is pulled out while the menu is open, then chosen from the stale row.
    model->volumeManager().applyRefreshedVolumes({research});
    staleStick->trigger();
    menu->hide();
    settle();
    EXPECT_FALSE(model->volumeManager().selectedVolume());
    QMessageBox *alert = toolbar()->driveGoneAlert();
    ASSERT_TRUE(alert);
    EXPECT_TRUE(alert->text().contains(QStringLiteral("\u201cStick\u201d is no longer connected")))
        << alert->text().toStdString();
    alert->accept();

    // Opened again, it lists only what is connected now.
    menu->popup(toolbar()->mapToGlobal(QPoint(0, toolbar()->height())));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    EXPECT_FALSE(action(QStringLiteral("volumeRow"), 1));
    action(QStringLiteral("volumeRow"), 0)->trigger();
    menu->hide();
    settle();
    EXPECT_EQ(model->volumeManager().selectedVolume(), research);
    EXPECT_EQ(label(QStringLiteral("targetTitle")), QStringLiteral("R&D (APFS)"));
}

} // namespace
