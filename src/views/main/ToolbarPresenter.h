#pragma once

#include "model/TargetVolume.h"

#include <QColor>
#include <QList>
#include <QString>
#include <optional>

struct RefreshButtonModel
{
    bool showsSpinner = false;
    QString text;
    QString symbol; // empty while the spinner shows
    bool enabled = true;

    friend bool operator==(const RefreshButtonModel &, const RefreshButtonModel &) = default;
};

// The closed target-drive control.
struct VolumeLabelModel
{
    bool hasTarget = false;
    QColor driveTint;  // orange without a target, the accent colour with one
    QString caption;   // "Target Drive" / "Target:"
    QString title;     // "No Drive Selected" / the target's name and format
    QColor titleColor; // orange without a target; invalid keeps the text colour
    std::optional<QString> freeText;
    double usage = 0;
};

// One entry of the target-drive menu, in order.
struct VolumeMenuRow
{
    enum class Kind {
        note,    // inert text
        section, // a section heading
        volume,
        customFolder,
        divider,
        chooseFolder,
        refresh,
        eject,
    };

    Kind kind = Kind::note;
    QString text;
    QString symbol;
    bool checked = false;
    std::optional<TargetVolume> volume; // what choosing the row selects or ejects

    friend bool operator==(const VolumeMenuRow &, const VolumeMenuRow &) = default;
};

namespace ToolbarPresenter {

inline const QString folderPanelPrompt = QStringLiteral("Set as Target");
inline const QString folderPanelMessage =
    QStringLiteral("Select an external drive root or folder where applications and support "
                   "files should be offloaded:");
inline const QString ejectAlertTitle = QStringLiteral("Safely Eject Drive");
// A folder chosen in the panel that cannot be the target.
inline const QString folderRefusedTitle = QStringLiteral("Target Folder");

[[nodiscard]] RefreshButtonModel refreshButton(bool isScanning);
[[nodiscard]] VolumeLabelModel volumeLabel(const std::optional<TargetVolume> &selected);
[[nodiscard]] QList<VolumeMenuRow> volumeMenu(const QList<TargetVolume> &available,
                                              const std::optional<TargetVolume> &selected,
                                              const std::optional<TargetVolume> &customTarget);
// A listed volume as its menu row writes it.
[[nodiscard]] QString volumeRowText(const TargetVolume &volume);
[[nodiscard]] QString ejectAlertMessage(const std::optional<QString> &message);
// A drive chosen from the menu after it went away.
inline const QString driveGoneTitle = QStringLiteral("Target Drive");
[[nodiscard]] QString driveGoneMessage(const QString &driveName);

} // namespace ToolbarPresenter
