#pragma once

#include "base/LabeledEnum.h"

#include <QList>
#include <QString>
#include <QUrl>
#include <QtGlobal>
#include <memory>
#include <optional>

// The level of one log line; the label is the word written into the line.
enum class AppLogLevel {
    info,
    warning,
    error,
};

// "INFO", "WARN", "ERROR".
[[nodiscard]] QString label(AppLogLevel level);
template<>
[[nodiscard]] QList<AppLogLevel> allCases<AppLogLevel>();

[[nodiscard]] inline size_t qHash(AppLogLevel level, size_t seed = 0) noexcept
{
    return ::qHash(int(level), seed);
}

// The product's journal. Each call goes at once to the system log (on the caller's thread)
// and, a moment later, as one line to "korvanthelix.log" in the user's
// Library/Logs/Korvanthelix folder, which rotates into "korvanthelix.log.1" at 5,242,880
// bytes. All file work runs on one writer thread, so lines from one thread keep their order
// and a rotation never interleaves with an append. Logging never fails and never waits for
// the disk.
//
// The folder follows the home folder of the installed System at each call (on a Mac that is
// fixed for the process; tests get their sandbox's).
class AppLogger final
{
public:
    // The product uses shared(); tests make their own inside a sandbox. Creates the folder.
    AppLogger();
    // Writes out every queued line, then stops the writer thread.
    ~AppLogger();
    AppLogger(const AppLogger &) = delete;
    AppLogger &operator=(const AppLogger &) = delete;

    // The process-wide instance, made on first use.
    [[nodiscard]] static AppLogger &shared();

    static constexpr qint64 maxLogBytes = 5242880;

    [[nodiscard]] static QString subsystem() { return QStringLiteral("com.korvanthelix.app"); }
    [[nodiscard]] QUrl logDirectoryURL() const;
    [[nodiscard]] QUrl logFileURL() const;

    // Callable from any thread. The message is written unchanged, newlines included.
    void log(AppLogLevel level, const QString &category, const QString &message);
    void info(const QString &message, const QString &category);
    void warning(const QString &message, const QString &category);
    void error(const QString &message, const QString &category);

    // The last `limit` newline-separated pieces of the current log file (not the rotated
    // one); "No log entries recorded yet." when it is missing or unreadable. Waits until
    // every earlier line is written.
    [[nodiscard]] QString readRecentLines(int limit);
    // Deletes the log file and its rotated generation, after every earlier line is written.
    void clearLog();

private:
    class Writer;
    std::unique_ptr<Writer> m_writer;
};
