#include "volumes/EjectBlockers.h"

#include "base/PathUtils.h"
#include "platform/System.h"

#include <QStringDecoder>
#include <algorithm>
#include <limits>
#include <unistd.h>

namespace {

// A signed 32-bit decimal: an optional sign, then digits only.
std::optional<qint32> parsePid(QByteArrayView text)
{
    bool negative = false;
    if (!text.isEmpty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text = text.sliced(1);
    }
    if (text.isEmpty())
        return std::nullopt;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > qint64(std::numeric_limits<qint32>::max()) + 1)
            return std::nullopt;
    }
    value = negative ? -value : value;
    if (value > std::numeric_limits<qint32>::max() || value < std::numeric_limits<qint32>::min())
        return std::nullopt;
    return qint32(value);
}

} // namespace

bool EjectBlockerScan::hasKind(EjectProcessKind kind) const
{
    return std::any_of(blockers.cbegin(), blockers.cend(),
                       [kind](const EjectBlocker &blocker) { return blocker.kind == kind; });
}

QList<EjectBlocker> EjectBlockerScan::ofKind(EjectProcessKind kind) const
{
    QList<EjectBlocker> result;
    for (const EjectBlocker &blocker : blockers) {
        if (blocker.kind == kind)
            result.append(blocker);
    }
    return result;
}

const QSet<QString> &EjectBlockers::protectedCoreNames()
{
    static const QSet<QString> names = {
        QStringLiteral("kernel_task"),      QStringLiteral("launchd"),
        QStringLiteral("diskarbitrationd"), QStringLiteral("mds"),
        QStringLiteral("fseventsd"),        QStringLiteral("windowserver"),
        QStringLiteral("loginwindow"),      QStringLiteral("logd"),
        QStringLiteral("notifyd"),          QStringLiteral("usereventagent"),
    };
    return names;
}

const QSet<QString> &EjectBlockers::safeSystemHelperNames()
{
    static const QSet<QString> names = {
        QStringLiteral("dock"),
        QStringLiteral("finder"),
        QStringLiteral("appstoreagent"),
        QStringLiteral("storedownloadd"),
        QStringLiteral("amplibraryagent"),
        QStringLiteral("iconservicesagent"),
        QStringLiteral("iconservicesd"),
        QStringLiteral("quicklooksatellite"),
        QStringLiteral("quicklookuiservice"),
        QStringLiteral("quicklookd"),
        QStringLiteral("qlmanage"),
        QStringLiteral("corespotlightd"),
        QStringLiteral("mediaanalysisd"),
        QStringLiteral("photoanalysisd"),
        QStringLiteral("photolibraryd"),
        QStringLiteral("bird"),
        QStringLiteral("cloudd"),
        QStringLiteral("fileproviderd"),
        QStringLiteral("mds_stores"),
        QStringLiteral("mdworker"),
        QStringLiteral("mdworker_shared"),
    };
    return names;
}

EjectProcessKind EjectBlockers::classifyProcess(const QString &name, const QString &path,
                                                qint32 pid)
{
    if (pid <= 1)
        return EjectProcessKind::protectedCore;
    const QString lowerName = name.toLower();
    if (protectedCoreNames().contains(lowerName))
        return EjectProcessKind::protectedCore;
    if (safeSystemHelperNames().contains(lowerName))
        return EjectProcessKind::safeSystemHelper;
    for (const char *fragment :
         {"quicklook", "spotlight", "mdworker", "iconservices", "appstore"}) {
        if (lowerName.contains(QLatin1String(fragment)))
            return EjectProcessKind::safeSystemHelper;
    }
    if (path.contains(QLatin1String("/Contents/Library/LoginItems/")) ||
        path.contains(QLatin1String("/Contents/Library/LaunchAgents/")))
        return EjectProcessKind::safeSystemHelper;
    for (const char *prefix : {"/System/", "/usr/libexec/", "/usr/sbin/", "/sbin/"}) {
        if (path.startsWith(QLatin1String(prefix)))
            return EjectProcessKind::protectedCore;
    }
    return EjectProcessKind::userApp;
}

EjectProcessKind EjectBlockers::classifyProcess(qint32 pid)
{
    const QString path = System::current().ejectTools().executablePath(pid);
    return classifyProcess(path.isEmpty() ? QString() : PathUtils::lastComponent(path), path, pid);
}

QStringList EjectBlockers::lsofArguments(const QString &mountPath)
{
    // Machine-readable PID and command fields, no name look-ups, and the path taken as a
    // file system so that every open file on it is reported.
    return {QStringLiteral("-F"),
            QStringLiteral("pc"),
            QStringLiteral("-n"),
            QStringLiteral("-P"),
            QStringLiteral("+f"),
            QStringLiteral("--"),
            mountPath};
}

std::optional<QList<EjectBlocker>>
EjectBlockers::parseLsofOutput(const QByteArray &output, qint32 ownPid,
                               const std::function<QString(qint32)> &executablePath)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(output);
    if (decoder.hasError())
        return std::nullopt;

    QList<EjectBlocker> blockers;
    std::optional<qint32> currentPid;
    QSet<qint32> taken;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1Char('p'))) {
            if (const std::optional<qint32> pid = parsePid(line.mid(1).toLatin1()))
                currentPid = pid;
            continue;
        }
        if (!line.startsWith(QLatin1Char('c')))
            continue;
        if (!currentPid || *currentPid == ownPid || taken.contains(*currentPid))
            continue;
        const qint32 pid = *currentPid;
        taken.insert(pid);
        const QString path = executablePath(pid);
        const QString name =
            path.isEmpty() ? line.mid(1).trimmed() : PathUtils::lastComponent(path);
        const EjectProcessKind kind = classifyProcess(name, path, pid);
        if (kind != EjectProcessKind::protectedCore)
            blockers.append({pid, name, kind});
    }
    return blockers;
}

EjectBlockerScan EjectBlockers::findEjectBlockers(const QString &mountPath)
{
    EjectTools &tools = System::current().ejectTools();
    const ToolRun run = tools.listOpenFiles(lsofArguments(mountPath), lsofTimeLimit);
    EjectBlockerScan scan;
    if (!run.started)
        return scan;
    const std::optional<QList<EjectBlocker>> blockers = parseLsofOutput(
        run.output, qint32(::getpid()), [&tools](qint32 pid) { return tools.executablePath(pid); });
    if (!blockers)
        return scan;
    scan.blockers = *blockers;
    scan.complete = !run.timedOut;
    return scan;
}

QStringList EjectBlockers::runningOffloadedApps(const QString &volumePath,
                                                const QList<MigrationRecord> &records,
                                                const QStringList &runningBundles)
{
    const QString standardVolume = PathUtils::standardized(volumePath);
    const QString prefix = standardVolume.endsWith(QLatin1Char('/'))
                               ? standardVolume
                               : standardVolume + QLatin1Char('/');
    QSet<QString> originalPaths;
    QSet<QString> targetPaths;
    for (const MigrationRecord &record : records) {
        if (record.status != MigrationStatus::active() || !record.appTargetPath)
            continue;
        const QString &target = *record.appTargetPath;
        if (!target.startsWith(prefix) && target != standardVolume)
            continue;
        originalPaths.insert(PathUtils::standardized(record.appOriginalPath));
        targetPaths.insert(PathUtils::standardized(target));
    }
    QStringList found;
    for (const QString &bundle : runningBundles) {
        const QString path = PathUtils::standardized(bundle);
        if (path.startsWith(prefix) || originalPaths.contains(path) || targetPaths.contains(path))
            found.append(bundle);
    }
    return found;
}
