#pragma once

#include <QString>
#include <optional>

// How a block device is attached, read from sysfs.
struct DeviceAttachment
{
    std::optional<bool> isInternal;
    std::optional<bool> isRemovable;

    friend bool operator==(const DeviceAttachment &, const DeviceAttachment &) = default;
};

namespace BlockDevices {

// The attachment of device major:minor. Loop devices count as external and removable, like
// disk images on a Mac; so do USB and FireWire disks and disks with removable media. A
// device-mapper device (an encrypted drive) takes the attachment of the device below it.
// Nothing is known of file systems without a device (major 0: tmpfs, network shares).
[[nodiscard]] DeviceAttachment attachment(unsigned major, unsigned minor,
                                          const QString &sysRoot = QStringLiteral("/sys"));

// The label of the file system on `device` ("/dev/sdb1"): udev's by-label links first, else
// blkid. Nothing when it has none or it cannot be read.
[[nodiscard]] std::optional<QString> label(const QString &device);

// The names udev gives its by-label links escape blanks and slashes as "\x20", "\x2f".
[[nodiscard]] QString decodeUdevName(const QString &name);

} // namespace BlockDevices
