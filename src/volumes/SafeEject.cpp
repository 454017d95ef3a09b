#include "volumes/SafeEject.h"

#include "base/PathUtils.h"
#include "platform/System.h"
#include "services/AppLogger.h"
#include "volumes/EjectBlockers.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <csignal>
#include <thread>

namespace {

const QString category = QStringLiteral("Volume");

QString quoted(const QString &name)
{
    return QLatin1Char('"') + name + QLatin1Char('"');
}

QString joinNames(const QList<EjectBlocker> &blockers)
{
    QStringList names;
    for (const EjectBlocker &blocker : blockers)
        names.append(blocker.name);
    return names.join(QStringLiteral(", "));
}

QList<qint32> pidsOf(const QList<EjectBlocker> &blockers)
{
    QList<qint32> pids;
    for (const EjectBlocker &blocker : blockers)
        pids.append(blocker.pid);
    return pids;
}

// Tool output as text: UTF-8, trimmed; output that does not decode counts as none.
QString outputText(const QByteArray &output)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(output);
    return decoder.hasError() ? QString() : text.trimmed();
}

} // namespace

SafeEject::SafeEject(TargetVolume volume, QList<MigrationRecord> ledgerRecords,
                     std::function<void()> onEjected)
    : m_volume(std::move(volume))
    , m_records(std::move(ledgerRecords))
    , m_onEjected(std::move(onEjected))
{}

EjectResult SafeEject::run()
{
    // A custom folder is ejected by ejecting the drive it is on.
    const QString targetPath = m_volume.url.toLocalFile();
    const std::optional<VolumeResourceValues> values =
        System::current().volumes().resourceValues(targetPath);
    m_mountPath = values && values->volumePath ? *values->volumePath : targetPath;

    if (std::optional<EjectResult> refusal = refuseForRunningApps())
        return *refusal;
    const EjectBlockerScan firstScan = scan();
    if (std::optional<EjectResult> refusal = refuseForUserApps(firstScan))
        return *refusal;
    releaseHelpers(firstScan);
    return unmountWithRetries();
}

std::optional<EjectResult> SafeEject::refuseForRunningApps()
{
    const QStringList running = EjectBlockers::runningOffloadedApps(
        m_volume.url.toLocalFile(), m_records,
        System::current().workspace().runningApplicationBundles());
    if (running.isEmpty())
        return std::nullopt;
    QStringList names;
    for (const QString &bundle : running) {
        const QString name = PathUtils::lastComponent(bundle);
        if (!name.isEmpty())
            names.append(name);
    }
    const QString list = names.join(QStringLiteral(", "));
    AppLogger::shared().log(
        AppLogLevel::warning, category,
        QStringLiteral("Blocked Safe Eject for '%1': running offloaded apps: %2")
            .arg(m_volume.name, list));
    return EjectResult{false, QStringLiteral("Cannot safely eject %1 while offloaded apps are "
                                             "running: %2. Quit them first.")
                                  .arg(quoted(m_volume.name), list)};
}

std::optional<EjectResult> SafeEject::refuseForUserApps(const EjectBlockerScan &scan)
{
    const QList<EjectBlocker> userApps = scan.ofKind(EjectProcessKind::userApp);
    if (userApps.isEmpty())
        return std::nullopt;
    const QString list = joinNames(userApps);
    AppLogger::shared().log(
        AppLogLevel::warning, category,
        QStringLiteral("Blocked Safe Eject for '%1': user apps holding files: %2")
            .arg(m_volume.name, list));
    return EjectResult{false, QStringLiteral("Cannot safely eject %1 while these apps have open "
                                             "files on the drive: %2. Close them first.")
                                  .arg(quoted(m_volume.name), list)};
}

void SafeEject::releaseHelpers(const EjectBlockerScan &scan)
{
    const QList<EjectBlocker> helpers = scan.ofKind(EjectProcessKind::safeSystemHelper);
    if (helpers.isEmpty())
        return;
    AppLogger::shared().log(
        AppLogLevel::info, category,
        QStringLiteral("Releasing %1 idle system helper(s) before ejecting '%2'")
            .arg(QString::number(helpers.size()), m_volume.name));
    terminateProcesses(pidsOf(helpers));
}

EjectResult SafeEject::unmountWithRetries()
{
    // A user application that refused the unmount must never be overridden by force, even
    // when no scan can see it.
    bool userAppDissented = false;
    for (int retries = 0;; ++retries) {
        const UnmountOutcome outcome = unmount(false);
        if (isUnmounted(outcome))
            return finishEjected();
        if (retries == maxUnmountRetries)
            return forceUnmount(outcome.output, userAppDissented);
        if (const std::optional<qint32> dissenter = dissentingPID(outcome.output)) {
            const EjectProcessKind kind = EjectBlockers::classifyProcess(*dissenter);
            if (kind == EjectProcessKind::safeSystemHelper) {
                terminateProcesses({*dissenter});
                continue;
            }
            userAppDissented = userAppDissented || kind == EjectProcessKind::userApp;
        }
        const EjectBlockerScan rescan = scan();
        if (rescan.hasKind(EjectProcessKind::userApp) ||
            !rescan.hasKind(EjectProcessKind::safeSystemHelper))
            return forceUnmount(outcome.output, userAppDissented);
        terminateProcesses(pidsOf(rescan.ofKind(EjectProcessKind::safeSystemHelper)));
    }
}

EjectResult SafeEject::forceUnmount(const QString &plainOutput, bool userAppDissented)
{
    if (userAppDissented)
        return fail(plainOutput);
    // Forcing is only safe when a scan that really ran shows no user application.
    const EjectBlockerScan check = scan();
    if (!check.complete || check.hasKind(EjectProcessKind::userApp))
        return fail(plainOutput);
    System::current().ejectTools().flushFileSystemBuffers();
    const UnmountOutcome outcome = unmount(true);
    if (outcome.success || mountIsGone())
        return finishEjected();
    return fail(outcome.output);
}

EjectResult SafeEject::finishEjected()
{
    // The drive is already unmounted; a failed power-off does not change that.
    (void)System::current().ejectTools().eject(m_mountPath);
    AppLogger::shared().log(AppLogLevel::info, category,
                            QStringLiteral("Safely ejected volume '%1'").arg(m_volume.name));
    if (m_onEjected)
        m_onEjected();
    return EjectResult{true, std::nullopt};
}

EjectResult SafeEject::fail(const QString &output)
{
    const EjectBlockerScan finalScan = scan();
    QStringList descriptions;
    for (const EjectBlocker &blocker : finalScan.blockers)
        descriptions.append(
            QStringLiteral("%1 (PID %2)").arg(blocker.name, QString::number(blocker.pid)));
    const QString list = descriptions.join(QStringLiteral(", "));
    AppLogger::shared().log(
        AppLogLevel::error, category,
        QStringLiteral("Failed to eject '%1': %2 | blockers=%3").arg(m_volume.name, output, list));
    if (!list.isEmpty()) {
        return EjectResult{false,
                           QStringLiteral("Could not safely eject %1 because it is still in use "
                                          "by: %2.\n\nClose any open files or apps using this "
                                          "drive and try again.")
                               .arg(quoted(m_volume.name), list)};
    }
    return EjectResult{false,
                       QStringLiteral("Failed to eject %1: %2")
                           .arg(quoted(m_volume.name),
                                output.isEmpty() ? QStringLiteral("Volume is busy.") : output)};
}

SafeEject::UnmountOutcome SafeEject::unmount(bool force)
{
    const ToolRun run = System::current().ejectTools().unmount(
        m_mountPath, force,
        std::chrono::duration_cast<std::chrono::milliseconds>(unmountTimeLimit));
    if (!run.started)
        return {false, run.startError};
    if (run.timedOut)
        return {false, QStringLiteral("timed out")};
    return {run.exitCode == 0, outputText(run.output)};
}

bool SafeEject::isUnmounted(const UnmountOutcome &outcome) const
{
    return outcome.success ||
           outcome.output.contains(QLatin1String("already unmounted"), Qt::CaseInsensitive) ||
           mountIsGone();
}

bool SafeEject::mountIsGone() const
{
    // No longer a mount point, whatever the tool said.
    const std::optional<VolumeResourceValues> values =
        System::current().volumes().resourceValues(m_mountPath);
    return !values || values->isVolume != true;
}

EjectBlockerScan SafeEject::scan() const
{
    return EjectBlockers::findEjectBlockers(m_mountPath);
}

void SafeEject::terminateProcesses(const QList<qint32> &pids)
{
    EjectTools &tools = System::current().ejectTools();
    // The PID is classified again right before the signal: the helper may have ended and
    // its number been given to another process since the scan.
    QList<qint32> signalled;
    for (const qint32 pid : pids) {
        if (EjectBlockers::classifyProcess(pid) != EjectProcessKind::safeSystemHelper)
            continue;
        tools.sendSignal(pid, SIGTERM);
        signalled.append(pid);
    }
    const auto deadline = std::chrono::steady_clock::now() + terminationWait;
    while (!signalled.isEmpty() && std::chrono::steady_clock::now() < deadline) {
        signalled.removeIf([&tools](qint32 pid) { return !tools.sendSignal(pid, 0); });
        if (signalled.isEmpty())
            return;
        std::this_thread::sleep_for(pollInterval);
    }
}

std::optional<qint32> SafeEject::dissentingPID(const QString &output)
{
    static const QRegularExpression pattern(QStringLiteral("dissented by PID (\\d+)"));
    const QRegularExpressionMatch match = pattern.match(output);
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint32 pid = match.captured(1).toInt(&ok);
    return ok ? std::optional<qint32>(pid) : std::nullopt;
}
