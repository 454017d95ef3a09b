#include "views/main/ToolbarPresenter.h"

#include "base/ByteCount.h"
#include "views/kit/Palette.h"

#include <QCoreApplication>

namespace {

QString tr(const char *key)
{
    return QCoreApplication::translate("VolumeToolbarView", key);
}

} // namespace

namespace ToolbarPresenter {

RefreshButtonModel refreshButton(bool isScanning)
{
    if (isScanning)
        return {true, QCoreApplication::translate("ContentView", "Scanning\u2026"), {}, false};
    return {false, QCoreApplication::translate("ContentView", "Refresh"),
            QStringLiteral("arrow.clockwise"), true};
}

VolumeLabelModel volumeLabel(const std::optional<TargetVolume> &selected)
{
    VolumeLabelModel m;
    m.hasTarget = selected.has_value();
    if (!selected) {
        m.driveTint = Palette::orange();
        m.caption = tr("Target Drive");
        m.title = tr("No Drive Selected");
        m.titleColor = Palette::orange();
        return m;
    }
    m.driveTint = Palette::blue();
    m.caption = tr("Target:");
    m.title =
        selected->name + QStringLiteral(" (") + selected->fileSystemDisplay() + QLatin1Char(')');
    m.freeText = formatFileSize(selected->freeBytes) + tr(" free");
    m.usage = selected->usagePercentage();
    return m;
}

QString volumeRowText(const TargetVolume &volume)
{
    if (!volume.isCompatible())
        return QStringLiteral("\u26A0\uFE0F ") + volume.name + QStringLiteral(" (") +
               volume.fileSystemDisplay() + QStringLiteral(" - Incompatible)");
    return volume.name + QStringLiteral(" (") + volume.fileSystemDisplay() +
           QStringLiteral(")  \u2014 ") + formatFileSize(volume.freeBytes) + tr(" free of ") +
           formatFileSize(volume.totalBytes);
}

namespace {

VolumeMenuRow menuRow(VolumeMenuRow::Kind kind, const QString &text = {},
                      const QString &symbol = {}, bool checked = false,
                      const std::optional<TargetVolume> &volume = std::nullopt)
{
    return {kind, text, symbol, checked, volume};
}

} // namespace

QList<VolumeMenuRow> volumeMenu(const QList<TargetVolume> &available,
                                const std::optional<TargetVolume> &selected,
                                const std::optional<TargetVolume> &customTarget)
{
    using Kind = VolumeMenuRow::Kind;
    const auto isSelected = [&](const TargetVolume &volume) {
        return selected && selected->url == volume.url;
    };
    QList<VolumeMenuRow> rows;
    if (available.isEmpty()) {
        rows.append(menuRow(Kind::note, tr("No External Storage Drives Detected")));
    } else {
        rows.append(menuRow(Kind::section, tr("Connected External Drives")));
        for (const TargetVolume &volume : available)
            rows.append(menuRow(Kind::volume, volumeRowText(volume),
                                isSelected(volume) ? QStringLiteral("checkmark") : QString(),
                                isSelected(volume), volume));
    }
    if (customTarget) {
        rows.append(menuRow(Kind::section, tr("Custom Destination Folder")));
        rows.append(menuRow(Kind::customFolder, tr("Folder: ") + customTarget->name,
                            isSelected(*customTarget) ? QStringLiteral("checkmark") : QString(),
                            isSelected(*customTarget), customTarget));
    }
    rows.append(menuRow(Kind::divider));
    rows.append(menuRow(Kind::chooseFolder, tr("Choose Specific Target Folder\u2026"),
                        QStringLiteral("folder.badge.plus")));
    rows.append(
        menuRow(Kind::refresh, tr("Refresh Connected Drives"), QStringLiteral("arrow.clockwise")));
    if (selected && selected->isRemovable) {
        rows.append(menuRow(Kind::divider));
        rows.append(menuRow(Kind::eject,
                            tr("Safely Eject ") + selected->name + QStringLiteral("\u2026"),
                            QStringLiteral("eject.fill"), false, selected));
    }
    return rows;
}

QString ejectAlertMessage(const std::optional<QString> &message)
{
    return message.value_or(tr("Unable to eject drive."));
}

QString driveGoneMessage(const QString &driveName)
{
    return tr("\u201c%1\u201d is no longer connected, so it was not selected. Connect it again "
              "or choose another drive.")
        .arg(driveName);
}

} // namespace ToolbarPresenter
