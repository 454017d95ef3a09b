#include "platform/linux/BlockDevices.h"

#include "base/PathUtils.h"
#include "base/Subprocess.h"
#include "platform/linux/ToolLookup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString readAttribute(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).trimmed();
}

DeviceAttachment attachmentOf(const QString &sysRoot, const QString &deviceNumber, int depth)
{
    const QString link = sysRoot + QStringLiteral("/dev/block/") + deviceNumber;
    QString device = QFileInfo(link).canonicalFilePath();
    if (device.isEmpty() || depth > 4)
        return {};
    // A partition's attributes live on its disk, one folder up.
    if (QFileInfo::exists(device + QStringLiteral("/partition")))
        device = PathUtils::parentPath(device);
    const QString name = PathUtils::lastComponent(device);
    if (name.startsWith(QLatin1String("dm-"))) {
        const QStringList below =
            QDir(device + QStringLiteral("/slaves"))
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
        if (below.isEmpty())
            return {};
        const QString number = readAttribute(device + QStringLiteral("/slaves/") + below.first() +
                                             QStringLiteral("/dev"));
        return number.isEmpty() ? DeviceAttachment{} : attachmentOf(sysRoot, number, depth + 1);
    }
    const bool external =
        name.startsWith(QLatin1String("loop")) ||
        readAttribute(device + QStringLiteral("/removable")) == QLatin1String("1") ||
        device.contains(QLatin1String("/usb")) || device.contains(QLatin1String("/firewire")) ||
        device.contains(QLatin1String("/ieee1394"));
    return {!external, external};
}

} // namespace

namespace BlockDevices {

DeviceAttachment attachment(unsigned major, unsigned minor, const QString &sysRoot)
{
    if (major == 0)
        return {};
    return attachmentOf(sysRoot, QStringLiteral("%1:%2").arg(major).arg(minor), 0);
}

QString decodeUdevName(const QString &name)
{
    QByteArray decoded;
    const QByteArray bytes = name.toUtf8();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\\' && i + 3 < bytes.size() && bytes[i + 1] == 'x') {
            bool ok = false;
            const int value = bytes.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                decoded.append(char(value));
                i += 3;
                continue;
            }
        }
        decoded.append(bytes[i]);
    }
    return QString::fromUtf8(decoded);
}

std::optional<QString> label(const QString &device)
{
    if (!device.startsWith(QLatin1String("/dev/")))
        return std::nullopt;
    const QString canonicalDevice = QFileInfo(device).canonicalFilePath();
    if (canonicalDevice.isEmpty())
        return std::nullopt;
    const QDir byLabel(QStringLiteral("/dev/disk/by-label"));
    const QStringList links = byLabel.entryList(QDir::System | QDir::NoDotAndDotDot);
    for (const QString &link : links) {
        if (QFileInfo(byLabel.filePath(link)).canonicalFilePath() == canonicalDevice)
            return decodeUdevName(link);
    }
    // Without udev (containers, minimal systems) blkid reads the label from the device
    // itself. Its cache is bypassed: a loop device reused for another image keeps the old
    // image's label there. An unreadable device gives no label, and the mount point's name
    // stands in.
    const QString blkid = ToolLookup::systemTool(QStringLiteral("blkid"));
    if (blkid.isEmpty())
        return std::nullopt;
    SubprocessOptions options;
    options.timeLimit = std::chrono::seconds(2);
    const SubprocessResult result = Subprocess::run(
        blkid,
        {QStringLiteral("-c"), QStringLiteral("/dev/null"), QStringLiteral("-s"),
         QStringLiteral("LABEL"), QStringLiteral("-o"), QStringLiteral("value"), canonicalDevice},
        options);
    const QString text = QString::fromUtf8(result.standardOutput).trimmed();
    if (!result.succeeded() || text.isEmpty())
        return std::nullopt;
    return text;
}

} // namespace BlockDevices
