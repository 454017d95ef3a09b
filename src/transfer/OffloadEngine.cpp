#include "transfer/OffloadEngine.h"

#include "transfer/CopyRunner.h"

#include "base/ByteCount.h"
#include "base/MainThread.h"
#include "base/PathUtils.h"
#include "base/Subprocess.h"
#include "model/AppItem.h"
#include "model/SupportFolder.h"
#include "model/TargetVolume.h"
#include "platform/System.h"
#include "services/AppLogger.h"
#include "services/LedgerService.h"
#include "services/PrivilegeHelper.h"
#include "services/RecordRule.h"
#include "transfer/DriveLayout.h"
#include "transfer/LocalRollback.h"
#include "transfer/OffloadFileOps.h"
#include "transfer/TreeUsers.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QThread>
#include <cstring>
#include <limits>

namespace {

using namespace std::chrono_literals;

constexpr auto flushPause = 200ms;
constexpr auto retryPause = 600ms;
// Lines of the copy tool's error output that a 301 message keeps.
constexpr int toolErrorLines = 8;

OperationError offloadError(int code, const QString &message)
{
    return OperationError(OffloadEngine::errorDomain, code, message);
}

} // namespace

OffloadEngine::OffloadEngine(QObject *parent)
    : QObject(parent)
    , m_fileOps(std::make_shared<OffloadFileOps>())
{}

OffloadEngine::OffloadEngine(LedgerService &ledger, QObject *parent)
    : OffloadEngine(parent)
{
    m_ledger = &ledger;
}

OffloadEngine::~OffloadEngine()
{
    // The workers use this engine to the end; stopping them first keeps them from running on
    // through a dead object.
    m_cancel.cancel();
    for (QFuture<void> &operation : m_operations) {
        try {
            operation.waitForFinished();
        } catch (...) {
            // Its failure was published and belongs to whoever awaited it.
        }
    }
}

LedgerService &OffloadEngine::ledger() const
{
    return m_ledger ? *m_ledger : LedgerService::shared();
}

void OffloadEngine::setFileOps(std::shared_ptr<OffloadFileOps> ops)
{
    m_fileOps = std::move(ops);
}

void OffloadEngine::setProgress(const OffloadProgress &progress)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_progress = progress;
    emit progressChanged();
}

void OffloadEngine::setIsOffloading(bool offloading)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_isOffloading = offloading;
    emit isOffloadingChanged();
}

void OffloadEngine::setIsCancelling(bool cancelling)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_isCancelling = cancelling;
    emit isCancellingChanged();
}

void OffloadEngine::cancelCurrentOperation()
{
    m_cancel.cancel();
    onMainThread(this, [this] {
        setIsCancelling(true);
        OffloadProgress next = m_progress;
        next.currentStep = QStringLiteral("Cancelling operation and cleaning up staging files...");
        setProgress(next);
    });
}

void OffloadEngine::resetCancellationState()
{
    m_cancel.reset();
    onMainThread(this, [this] { setIsCancelling(false); });
}

bool OffloadEngine::isCancelRequested() const
{
    return m_cancel.isCancelRequested();
}

IntegrityVerifier::CancelProbe OffloadEngine::makeCancelProbe() const
{
    return m_cancel.makeProbe();
}

void OffloadEngine::validateOffloadPreflight(const AppItem &app, const TargetVolume &target) const
{
    if (app.isProtected)
        throw offloadError(201, QStringLiteral("Cannot offload protected application: ") +
                                    app.protectedReason.value_or(QStringLiteral("System policy")));
    if (app.isRunning)
        throw runningError(app.name);
    // A copy the restore would refuse is no backup: refused before anything is written, with
    // every folder the copies go through judged.
    const std::optional<QString> subfolder = app.subfolderPath();
    if (const Verdict place = RecordRule::checkTarget(
            target.id(), subfolder ? QStringList{*subfolder} : QStringList());
        !place.ok)
        throw targetRefusal(target.name, place.reason.value_or(QString()));
    if (!target.isWritable)
        throw offloadError(203, QStringLiteral("Target volume '") + target.name +
                                    QStringLiteral("' is read-only or not writable."));
    if (target.isCompatible()) {
        qint64 required = 0;
        if (qAddOverflow(app.totalSelectedSize(), safetyBufferBytes, &required))
            required = std::numeric_limits<qint64>::max();
        if (target.freeBytes < required)
            throw offloadError(204, QStringLiteral("Insufficient free space on '") + target.name +
                                        QStringLiteral("'. Requires ") + formatFileSize(required) +
                                        QStringLiteral(" (including 500 MB buffer), but only ") +
                                        formatFileSize(target.freeBytes) +
                                        QStringLiteral(" is available."));
        return;
    }
    throw offloadError(205, QStringLiteral("Target drive '") + target.name + QStringLiteral("' (") +
                                target.fileSystemDisplay() +
                                QStringLiteral(") is not compatible with macOS apps: ") +
                                target.incompatibilityReason().value_or(
                                    QStringLiteral("Incompatible filesystem format.")));
}

OperationError OffloadEngine::runningError(const QString &appName)
{
    return offloadError(202, QStringLiteral("Application '") + appName +
                                 QStringLiteral("' is currently running. Please quit it before "
                                                "offloading."));
}

OperationError OffloadEngine::changedSinceCopied(const QString &path, const QString &change,
                                                 const QString &outcome)
{
    return offloadError(209, QStringLiteral("'") + path +
                                 QStringLiteral("' changed after its copy to the drive began (") +
                                 change +
                                 QStringLiteral("). Try again when nothing is using or updating "
                                                "it.") +
                                 outcome);
}

OperationError OffloadEngine::inUse(const TreeUsers &users, const QString &outcome)
{
    return offloadError(210, users.told() + QStringLiteral(". ") + users.request() + outcome);
}

OperationError OffloadEngine::cancellationError()
{
    return offloadError(3072, QStringLiteral("Operation cancelled by user."));
}

OperationError OffloadEngine::targetRefusal(const QString &targetName, const QString &reason,
                                            const QString &outcome)
{
    return offloadError(208, QStringLiteral("Target '") + targetName +
                                 QStringLiteral("' cannot be used: ") + reason + QLatin1Char('.') +
                                 outcome);
}

OperationError OffloadEngine::driveFlushError(const QString &driveName, int err)
{
    return offloadError(303, QStringLiteral("The drive \"") + driveName +
                                 QStringLiteral("\" could not store what was written to it: ") +
                                 QString::fromLocal8Bit(std::strerror(err)) + QLatin1Char('.') +
                                 nothingChangedOnMac());
}

OperationError OffloadEngine::bundleVerificationError(const QString &appName)
{
    return offloadError(102, QStringLiteral("Verification failed for app bundle '") + appName +
                                 QStringLiteral("'. Source was left untouched."));
}

void OffloadEngine::runDittoCopy(const QString &source, const QString &destination)
{
    const auto failed = [&](const std::optional<QString> &toolError, const QString &adminMessage) {
        // The message keeps what a person reads; the log keeps everything.
        AppLogger::shared().log(
            AppLogLevel::error, QStringLiteral("Offload"),
            QStringLiteral("Copy tool failed (") + source + QStringLiteral(" -> ") + destination +
                QStringLiteral("): ") + toolError.value_or(QStringLiteral("Unknown ditto error")) +
                QStringLiteral(" (Admin attempt: ") + adminMessage + QStringLiteral(")"));
        return offloadError(301, QStringLiteral("ditto copy failed: ") +
                                     (toolError ? CopyRunner::firstLines(*toolError, toolErrorLines)
                                                : QStringLiteral("Unknown ditto error")) +
                                     QStringLiteral(" (Admin attempt: ") +
                                     CopyRunner::firstLines(adminMessage, toolErrorLines) +
                                     QStringLiteral(")"));
    };
    try {
        // The drive writes the copy out while it is made, rather than all of it at the flush.
        const std::unique_ptr<Storage::WriteBehind> writeBehind =
            System::current().storage().writeBehind(PathUtils::parentPath(destination));
        // What a cancel leaves is removed where the operation judged its folder.
        CopyRunner::run(m_cancel, source, destination, {cancellationError(), failed},
                        [this](const QString &path) { fileOps().discard(path); });
        writeBehind->finish();
    } catch (const OperationError &error) {
        // A drive that filled up keeps nothing of the failed copy, as after a cancel: a partial
        // copy nobody can use would only hold the space.
        if (error.domain() == errorDomain && error.code() == 301)
            fileOps().discard(destination);
        throw;
    }
}

bool OffloadEngine::verifyCopiedItem(const QUrl &source, const QUrl &destination)
{
    IntegrityVerifier::Report report;
    const Verdict verdict = IntegrityVerifier::verifyDirectoryIntegrity(
        source, destination, makeCancelProbe(), IntegrityVerifier::DestinationRead::fromDevice,
        &report);
    const QString copy = PathUtils::standardized(destination.toLocalFile());
    if (verdict.ok) {
        // What was read, to be found again before the Mac relies on it.
        m_verifiedPrints.insert(copy, report.destination);
        if (report.leftOutCount > 0)
            AppLogger::shared().log(AppLogLevel::info, QStringLiteral("Offload"),
                                    report.leftOutLine(source.toLocalFile()));
    } else {
        m_verifiedPrints.remove(copy);
    }
    if (!verdict.ok && verdict.reason) {
        AppLogger::shared().log(AppLogLevel::error, QStringLiteral("Offload"),
                                QStringLiteral("Integrity verification failed (") +
                                    PathUtils::lastComponent(source.toLocalFile()) +
                                    QStringLiteral(" -> ") + destination.toLocalFile() +
                                    QStringLiteral("): ") + *verdict.reason);
    }
    return verdict.ok;
}

void OffloadEngine::verifySupportFolderCopy(const SupportFolder &folder, const QUrl &staged,
                                            const QUrl &finalLocation)
{
    flushStagedCopy(staged);
    if (!verifyCopiedItem(folder.url, staged)) {
        fileOps().removePlain(staged.toLocalFile());
        throw offloadError(101, QStringLiteral("Verification failed for support folder '") +
                                    PathUtils::lastComponent(folder.url.toLocalFile()) +
                                    QStringLiteral("'. Source was left untouched."));
    }
    commitStagedItem(staged, finalLocation);
}

void OffloadEngine::verifyBundleCopy(const QUrl &bundle, const QUrl &staged,
                                     const QUrl &finalLocation, const OperationError &failure)
{
    flushStagedCopy(staged);
    pause(flushPause);
    if (!verifyCopiedItem(bundle, staged)) {
        pause(retryPause);
        if (!verifyCopiedItem(bundle, staged)) {
            fileOps().removePlain(staged.toLocalFile());
            throw failure;
        }
    }
    commitStagedItem(staged, finalLocation);
}

void OffloadEngine::flushStagedCopy(const QUrl &staged)
{
    // The copy tool's writes may still sit in memory: read back now, they would prove nothing.
    try {
        flushDrive(staged.toLocalFile(), {staged.toLocalFile()});
    } catch (const OperationError &) {
        fileOps().removePlain(staged.toLocalFile());
        throw;
    }
}

void OffloadEngine::commitStagedItem(const QUrl &staged, const QUrl &finalLocation)
{
    const QString stagedPath = staged.toLocalFile();
    const QString finalPath = finalLocation.toLocalFile();

    // An earlier copy that runs from the drive is neither moved nor replaced.
    if (PathUtils::existsNoFollow(finalPath) &&
        !System::current().workspace().runningWithin({finalPath}).isEmpty()) {
        fileOps().removePlain(stagedPath);
        throw offloadError(202, QStringLiteral("'") + finalPath +
                                    QStringLiteral("' on the drive is running. Please quit it "
                                                   "before its copy is replaced.") +
                                    nothingChangedOnMac());
    }
    // A dangling link counts as an occupant too: moved aside, it cannot block the move.
    std::optional<QString> rollback;
    if (PathUtils::existsNoFollow(finalPath)) {
        const QString aside =
            PathUtils::join(PathUtils::parentPath(finalPath),
                            DriveLayout::rollbackName(PathUtils::lastComponent(finalPath)));
        fileOps().move(finalPath, aside);
        rollback = aside;
        // The earlier copy goes only as it stood when this copy began: one changed since (or
        // put there since) stays where it was.
        const auto noted = m_occupantPrints.constFind(PathUtils::standardized(finalPath));
        if (const std::optional<QString> change =
                noted == m_occupantPrints.cend() ? std::nullopt : noted->changeAt(aside)) {
            QString kept = QStringLiteral("it was left as it was");
            try {
                LocalRollback::moveBack(fileOps(), aside, finalPath);
            } catch (const OperationError &) {
                kept = QStringLiteral("it was left at '") + aside + QLatin1Char('\'');
            }
            fileOps().removePlain(stagedPath);
            throw offloadError(209, QStringLiteral("'") + finalPath +
                                        QStringLiteral("' on the drive changed while a new copy "
                                                       "was made to replace it (") +
                                        *change + QStringLiteral("): ") + kept +
                                        QStringLiteral(", and the new copy was not kept.") +
                                        nothingChangedOnMac());
        }
    }

    try {
        fileOps().move(stagedPath, finalPath);
    } catch (...) {
        if (rollback && PathUtils::existsNoFollow(*rollback)) {
            try {
                LocalRollback::moveBack(fileOps(), *rollback, finalPath);
            } catch (const OperationError &) {
                // The earlier copy stays under its rollback name.
            }
        }
        throw;
    }
    noteDriveItem(finalPath);
    m_committed.append({finalPath, rollback});
    if (const auto print = m_verifiedPrints.constFind(PathUtils::standardized(stagedPath));
        print != m_verifiedPrints.cend()) {
        const IntegrityVerifier::TreePrint verified = *print;
        m_verifiedPrints.remove(PathUtils::standardized(stagedPath));
        m_verifiedPrints.insert(PathUtils::standardized(finalPath), verified);
    }
    // What an operation's commit moved aside waits for the operation's end: a failure puts it back.
    if (!m_driveWatch)
        discardDisplaced();
}

void OffloadEngine::discardDisplaced()
{
    for (const Committed &commit : std::as_const(m_committed)) {
        if (!commit.displaced || !PathUtils::existsNoFollow(*commit.displaced))
            continue;
        try {
            // remove() leaves a dangling link alone; one we moved aside ourselves goes too.
            if (PathUtils::isSymlink(*commit.displaced))
                fileOps().removeLink(*commit.displaced);
            else
                fileOps().remove(*commit.displaced);
        } catch (const OperationError &) {
            // It stays under its rollback name, which the leftover cleanup lists.
        }
    }
    m_committed.clear();
}

void OffloadEngine::setSleeper(Sleeper sleeper)
{
    m_sleeper = std::move(sleeper);
}

void OffloadEngine::pause(std::chrono::nanoseconds duration) const
{
    if (m_sleeper) {
        m_sleeper(duration);
        return;
    }
    // A cancel request ends the pause early; the verification that follows then fails fast.
    (void)m_cancel.waitFor(duration);
}
