#pragma once

#include "views/main/ToolbarPresenter.h"
#include "volumes/SafeEject.h"

#include <QCoroTask>
#include <QFuture>
#include <QPointer>
#include <QToolButton>
#include <functional>

#include <QFileDialog>
class QLabel;
class QMenu;
#include <QMessageBox>
class QProgressBar;
class VolumeManager;

// The target-drive control of the toolbar. Closed, it shows the target with its format, free
// space and a capacity bar, or that no drive is selected; its menu lists the connected
// drives and the custom folder, picks a folder, refreshes the drives and safely ejects the
// removable target. A failed eject shows the "Safely Eject Drive" alert. The menu is built
// afresh each time it opens; a drive that went away while it was open is not selected, and
// an alert ("driveGoneAlert") says so.
//
// Object names: "volumeToolbar"; labels "targetCaption", "targetTitle" (beside the caption),
// "noTargetTitle" (under it), "targetFree",
// "capacityBar"; menu actions "noDrivesNote", "volumeRow", "customFolderRow",
// "chooseFolderAction", "refreshDrivesAction", "ejectAction"; the panel
// "targetFolderPanel" and the alerts "ejectAlert" and "folderRefusedAlert" (a folder from the
// panel that cannot be the target).
class VolumeToolbarView final : public QToolButton
{
    Q_OBJECT
public:
    using EjectOperation = std::function<QFuture<EjectResult>(const TargetVolume &)>;

    // `volumeManager` is the window's (not owned).
    explicit VolumeToolbarView(VolumeManager *volumeManager, QWidget *parent = nullptr);

    // VolumeManager::safelyEject unless replaced.
    void setEjectOperation(EjectOperation eject);

    [[nodiscard]] const VolumeLabelModel &labelModel() const { return m_label; }
    [[nodiscard]] const QList<VolumeMenuRow> &menuRows() const { return m_rows; }
    [[nodiscard]] QMenu *driveMenu() const { return m_menu; }
    // Open while the user picks a folder or reads the alert; null otherwise.
    [[nodiscard]] QFileDialog *folderPanel() const { return m_panel; }
    [[nodiscard]] QMessageBox *ejectAlert() const { return m_alert; }
    [[nodiscard]] QMessageBox *driveGoneAlert() const { return m_goneAlert; }
    [[nodiscard]] QMessageBox *folderRefusedAlert() const { return m_refusedAlert; }
    [[nodiscard]] const std::optional<QString> &ejectAlertMessage() const
    {
        return m_ejectAlertMessage;
    }

    // Opens the folder panel; a confirmed folder becomes the custom target.
    void chooseFolder();

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

signals:
    // An eject started from the menu has ended (and its alert, if any, is open).
    void ejectFinished();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void build();
    void refresh();
    void rebuildMenu();
    // Selects `volume` only while the drive manager still lists it.
    void chooseVolume(const TargetVolume &volume);
    QCoro::Task<> eject(TargetVolume volume);
    // A folder from the panel that cannot be the target: the alert says why.
    void showFolderRefused(const QString &message);
    // A window-modal warning with one OK button, kept in `slot`.
    void showWarning(QPointer<QMessageBox> &slot, const QString &objectName, const QString &title,
                     const QString &message);

    QPointer<VolumeManager> m_manager;
    EjectOperation m_eject;
    VolumeLabelModel m_label;
    QList<VolumeMenuRow> m_rows;
    std::optional<QString> m_ejectAlertMessage;

    QMenu *m_menu = nullptr;
    QLabel *m_drive = nullptr;
    QLabel *m_caption = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_noTarget = nullptr;
    QWidget *m_freeLine = nullptr;
    QLabel *m_free = nullptr;
    QProgressBar *m_capacity = nullptr;
    QPointer<QFileDialog> m_panel;
    QPointer<QMessageBox> m_alert;
    QPointer<QMessageBox> m_goneAlert;
    QPointer<QMessageBox> m_refusedAlert;
};
