#pragma once

#include "base/OperationError.h"

#include <QString>
#include <functional>
#include <optional>

class CancelState;

// The copy both engines make between the Mac and the drive: the platform's copy tool, run as
// the engine's registered process so that a cancel request can stop it, and repeated with
// administrator rights when it fails. Runs on the calling background thread and blocks until
// the copy is over; never on the main thread.
namespace CopyRunner {

// The engine's own wording of the two ways a copy can end badly.
struct Errors
{
    // A cancel request seen before the copy (nothing touched) or after it, also after the
    // administrator copy (the destination removed first; no administrator prompt follows).
    OperationError cancelled;
    // The copy and its administrator repetition both failed: the tool's standard error
    // decoded as UTF-8 (nothing when it is not valid UTF-8) and the repetition's message.
    // The partial destination stays.
    std::function<OperationError(const std::optional<QString> &toolError,
                                 const QString &adminMessage)>
        failed;
};

// The first `maxLines` lines of a tool's error output (each cut to a readable length), then
// how many lines were left out. A failing copy of a large tree can report every file.
[[nodiscard]] QString firstLines(const QString &text, int maxLines);

// Copies `source` to `destination` (created by the tool), evened out after the platform's tool
// (System::copyToolHabits): without sockets and pipes, and with every item it passed over by its
// name, copied by the program. Throws errors.cancelled, errors.failed(...), a "Process" error when
// the tool cannot be launched, or a "FileSystem" error when what the tool passed over cannot be
// copied. A cancelled copy's destination, and one that lacks what the tool passed over, is removed
// with `discard` (PrivilegeHelper::safeRemove when none is given), whose failure is ignored.
void run(CancelState &cancel, const QString &source, const QString &destination,
         const Errors &errors, const std::function<void(const QString &)> &discard = {});

} // namespace CopyRunner
