#include "transfer/CopyRunner.h"

#include "base/FolderEntries.h"
#include "base/PathUtils.h"
#include "base/Subprocess.h"
#include "base/TreeCopy.h"
#include "base/UniqueFd.h"
#include "platform/System.h"
#include "platform/TreeRemoval.h"
#include "services/PrivilegeHelper.h"
#include "transfer/CancelState.h"
#include "transfer/DriveFolder.h"

#include <QFile>
#include <QStringDecoder>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

constexpr qsizetype longestLine = 300;

void discardCopy(const QString &destination, const std::function<void(const QString &)> &discard)
{
    try {
        if (discard)
            discard(destination);
        else
            PrivilegeHelper::safeRemove(destination);
    } catch (...) {
    }
}

// What the copy tool passed over by its name alone is the user's all the same: copied here, into
// the copy made in the held folder `into`, or the copy is not kept. A copy without it would be
// verified without it and its original deleted with it.
void copySkippedItems(const QString &source, int into, const QByteArray &name,
                      const QString &destination,
                      const std::function<void(const QString &)> &discard)
{
    const UniqueFd from(::open(QFile::encodeName(PathUtils::parentPath(source)).constData(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    QByteArray where;
    const int err =
        from.valid()
            ? TreeCopy::copyMissing(
                  from.get(), QFile::encodeName(PathUtils::lastComponent(source)), into, name,
                  [](const QByteArray &item, mode_t) { return isNamedAsRemovedWhileOpen(item); },
                  &where)
            : errno;
    if (err == 0)
        return;
    discardCopy(destination, discard);
    const QString item =
        where.isEmpty() ? source
                        : PathUtils::join(PathUtils::parentPath(source), QFile::decodeName(where));
    throw OperationError::fileSystem(err, QStringLiteral("Could not copy '") + item +
                                              QStringLiteral("', which the copy tool passes "
                                                             "over, to the drive: ") +
                                              QString::fromLocal8Bit(std::strerror(err)));
}

} // namespace

QString firstLines(const QString &text, int maxLines)
{
    const bool endsWithNewline = text.endsWith(QLatin1Char('\n'));
    QStringList lines = text.split(QLatin1Char('\n'));
    if (endsWithNewline)
        lines.removeLast();
    const qsizetype leftOut = std::max<qsizetype>(0, lines.size() - maxLines);
    lines = lines.mid(0, maxLines);
    for (QString &line : lines) {
        if (line.size() > longestLine)
            line = line.left(longestLine) + QStringLiteral("…");
    }
    QString kept = lines.join(QLatin1Char('\n'));
    if (leftOut > 0)
        kept += QStringLiteral("\n… ") + QString::number(leftOut) +
                (leftOut == 1 ? QStringLiteral(" more line") : QStringLiteral(" more lines")) +
                QStringLiteral(" left out; the whole output is in the log.");
    else if (endsWithNewline)
        kept += QLatin1Char('\n');
    return kept;
}

void run(CancelState &cancel, const QString &source, const QString &destination,
         const Errors &errors, const std::function<void(const QString &)> &discard)
{
    if (cancel.isCancelRequested())
        throw errors.cancelled;

    const QStringList argv = System::current().copyToolArguments(source, destination);
    auto process = std::make_shared<Subprocess>(argv.value(0), argv.mid(1));
    // The folder the copy is made in, held from before it starts: what is then taken out of the
    // copy is taken out of the one made there, whatever a link put in the folder's place leads to.
    const UniqueFd into(::open(QFile::encodeName(PathUtils::parentPath(destination)).constData(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto evenedOut = [&] {
        if (!into.valid())
            return;
        const CopyToolHabits habits = System::current().copyToolHabits();
        const QByteArray name = QFile::encodeName(PathUtils::lastComponent(destination));
        // What stays (in a folder only the administrator may write) the verification passes
        // over.
        if (habits.keepsSocketsAndPipes)
            (void)TreeRemoval::removeSocketsAndPipes(into.get(), name);
        if (habits.skipsRemovedWhileOpenNames)
            copySkippedItems(source, into.get(), name, destination, discard);
    };
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
        discardCopy(destination, discard);
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
    if (result.succeeded()) {
        evenedOut();
        return;
    }

    const PrivilegeHelper::DittoResult admin = PrivilegeHelper::runDitto(source, destination);
    if (cancelledAfterCopy())
        throw errors.cancelled;
    if (admin.success) {
        evenedOut();
        return;
    }
    throw errors.failed(decodeUtf8(result.standardError), admin.error);
}

} // namespace CopyRunner
