#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Running AppleScript sources through the system's script runner. Portable: it only builds
// argument lists and reads the runner's output, so it is built and tested everywhere.
namespace OsaScript {

// The runner the product uses on a Mac.
[[nodiscard]] QString defaultTool();

// The runner's arguments for one source text (which may span several lines).
[[nodiscard]] QStringList arguments(const QString &source);

// The message of a script error as the runner reports it on standard error
// ("0:42: execution error: User canceled. (-128)" gives "User canceled."); the whole text
// when it has another form, "Unknown error" when there is none.
[[nodiscard]] QString errorMessage(const QByteArray &standardError);

// The script's result: standard output without the line feed the runner adds.
[[nodiscard]] QString resultText(const QByteArray &standardOutput);

} // namespace OsaScript
