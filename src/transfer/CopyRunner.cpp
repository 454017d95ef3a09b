#include "transfer/CopyRunner.h"

#include "base/Subprocess.h"
#include "platform/System.h"
#include "services/PrivilegeHelper.h"
#include "transfer/CancelState.h"

#include <QStringDecoder>
#include <memory>

namespace CopyRunner {

namespace {

// Strict: text that is not valid UTF-8 is not shown half-decoded.
std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

void run(CancelState &cancel, const QString &source, const QString &destination,
         const Errors &errors)
{
    if (cancel.isCancelRequested())
        throw errors.cancelled;

    const QStringList argv = System::current().copyToolArguments(source, destination);
    auto process = std::make_shared<Subprocess>(argv.value(0), argv.mid(1));
    const CancelState::Registration registration(cancel, process);

    // A request that came after the first test but before the registration found no process
    // to stop; honour it before anything is written.
    if (cancel.isCancelRequested())
        throw errors.cancelled;

    // Checked before the exit status, so a copy stopped by a cancel request never leads to
    // the administrator prompt.
    const auto cancelledAfterCopy = [&] {
        if (!cancel.isCancelRequested())
            return false;
        try {
            PrivilegeHelper::safeRemove(destination);
        } catch (...) {
        }
        return true;
    };

    if (!process->start()) {
        // terminate() before start() keeps the program from starting at all.
        if (cancel.isCancelRequested())
            throw errors.cancelled;
        const SubprocessResult failed = process->waitForFinished();
        throw OperationError::process(-1, QStringLiteral("Could not launch ") + argv.value(0) +
                                              QStringLiteral(": ") + failed.startError);
    }
    const SubprocessResult result = process->waitForFinished();
    if (cancelledAfterCopy())
        throw errors.cancelled;
    if (result.succeeded())
        return;

    const PrivilegeHelper::DittoResult admin = PrivilegeHelper::runDitto(source, destination);
    if (cancelledAfterCopy())
        throw errors.cancelled;
    if (admin.success)
        return;
    throw errors.failed(decodeUtf8(result.standardError), admin.error);
}

} // namespace CopyRunner
