#include "platform/linux/MountTable.h"

#include "base/PathUtils.h"

#include <QFile>
#include <QSet>

namespace {

// Kernel and runtime file systems that never hold user data.
const QSet<QString> &pseudoFileSystems()
{
    static const QSet<QString> types = {
        QStringLiteral("proc"),        QStringLiteral("sysfs"),
        QStringLiteral("devtmpfs"),    QStringLiteral("devpts"),
        QStringLiteral("cgroup"),      QStringLiteral("cgroup2"),
        QStringLiteral("securityfs"),  QStringLiteral("pstore"),
        QStringLiteral("debugfs"),     QStringLiteral("tracefs"),
        QStringLiteral("bpf"),         QStringLiteral("configfs"),
        QStringLiteral("fusectl"),     QStringLiteral("hugetlbfs"),
        QStringLiteral("mqueue"),      QStringLiteral("autofs"),
        QStringLiteral("binfmt_misc"), QStringLiteral("rpc_pipefs"),
        QStringLiteral("nsfs"),        QStringLiteral("efivarfs"),
        QStringLiteral("selinuxfs"),   QStringLiteral("squashfs"),
        QStringLiteral("overlay"),     QStringLiteral("fuse.gvfsd-fuse"),
        QStringLiteral("fuse.portal"), QStringLiteral("fuse.lxcfs"),
    };
    return types;
}

// Folders whose mounts belong to the operating system, never to a drive the user plugged
// in. "/run/media" is where desktops mount drives, so it is let through.
bool isSystemMountPoint(const QString &mountPoint)
{
    static const QStringList systemFolders = {
        QStringLiteral("/proc"), QStringLiteral("/sys"),  QStringLiteral("/dev"),
        QStringLiteral("/run"),  QStringLiteral("/boot"), QStringLiteral("/efi"),
        QStringLiteral("/etc"),  QStringLiteral("/usr"),  QStringLiteral("/var"),
        QStringLiteral("/tmp"),  QStringLiteral("/snap"), QStringLiteral("/opt"),
        QStringLiteral("/srv"),  QStringLiteral("/root"), QStringLiteral("/nix"),
    };
    if (mountPoint == QLatin1String("/"))
        return true;
    if (PathUtils::isSameOrInside(mountPoint, QStringLiteral("/run/media")))
        return false;
    for (const QString &folder : systemFolders) {
        if (PathUtils::isSameOrInside(mountPoint, folder))
            return true;
    }
    return false;
}

std::optional<MountEntry> parseLine(const QByteArray &line)
{
    const QList<QByteArray> fields = line.split(' ');
    // id parent major:minor root mount-point options [optional...] - type source super
    const qsizetype separator = fields.indexOf(QByteArray("-"), 6);
    if (separator < 0 || separator + 2 >= fields.size())
        return std::nullopt;
    MountEntry entry;
    bool ok = false;
    entry.id = fields[0].toInt(&ok);
    if (!ok)
        return std::nullopt;
    entry.parentId = fields[1].toInt(&ok);
    if (!ok)
        return std::nullopt;
    const QList<QByteArray> device = fields[2].split(':');
    if (device.size() != 2)
        return std::nullopt;
    entry.major = device[0].toUInt(&ok);
    if (!ok)
        return std::nullopt;
    entry.minor = device[1].toUInt(&ok);
    if (!ok)
        return std::nullopt;
    entry.root = MountTable::decodeField(fields[3]);
    entry.mountPoint = MountTable::decodeField(fields[4]);
    entry.mountOptions = QString::fromLatin1(fields[5]).split(QLatin1Char(','));
    entry.fileSystemType = MountTable::decodeField(fields[separator + 1]);
    entry.source = MountTable::decodeField(fields[separator + 2]);
    if (separator + 3 < fields.size())
        entry.superOptions = QString::fromLatin1(fields[separator + 3]).split(QLatin1Char(','));
    return entry;
}

} // namespace

bool MountEntry::isReadOnly() const
{
    return mountOptions.contains(QLatin1String("ro")) || superOptions.contains(QLatin1String("ro"));
}

bool MountEntry::isHidden() const
{
    return pseudoFileSystems().contains(fileSystemType) || isSystemMountPoint(mountPoint);
}

namespace MountTable {

QString decodeField(const QByteArray &field)
{
    QByteArray decoded;
    decoded.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (c == '\\' && i + 3 < field.size()) {
            const QByteArray digits = field.mid(i + 1, 3);
            bool ok = digits.size() == 3;
            for (const char d : digits)
                ok = ok && d >= '0' && d <= '7';
            if (ok) {
                decoded.append(char(digits.toInt(nullptr, 8)));
                i += 3;
                continue;
            }
        }
        decoded.append(c);
    }
    return QString::fromUtf8(decoded);
}

QList<MountEntry> parse(const QByteArray &mountInfo)
{
    QList<MountEntry> entries;
    const QList<QByteArray> lines = mountInfo.split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        if (std::optional<MountEntry> entry = parseLine(line))
            entries.append(std::move(*entry));
    }
    return entries;
}

std::optional<QList<MountEntry>> read()
{
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // A proc file reports no size; readAll reads until the end.
    return parse(file.readAll());
}

QList<MountEntry> visible(const QList<MountEntry> &entries)
{
    QList<MountEntry> result;
    for (const MountEntry &entry : entries) {
        result.removeIf([&](const MountEntry &earlier) {
            return PathUtils::isSameOrInside(earlier.mountPoint, entry.mountPoint);
        });
        result.append(entry);
    }
    return result;
}

std::optional<MountEntry> containing(const QList<MountEntry> &entries, const QString &resolvedPath)
{
    std::optional<MountEntry> best;
    for (const MountEntry &entry : visible(entries)) {
        if (!PathUtils::isSameOrInside(resolvedPath, entry.mountPoint))
            continue;
        if (!best || entry.mountPoint.size() > best->mountPoint.size())
            best = entry;
    }
    return best;
}

std::optional<MountEntry> at(const QList<MountEntry> &entries, const QString &mountPoint)
{
    for (const MountEntry &entry : visible(entries)) {
        if (entry.mountPoint == mountPoint)
            return entry;
    }
    return std::nullopt;
}

} // namespace MountTable
