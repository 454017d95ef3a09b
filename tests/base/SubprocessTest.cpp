#include "base/Subprocess.h"

#include "support/Wait.h"

#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A shell command run with /bin/sh -c.
QStringList shell(const char *command)
{
    return {QStringLiteral("/bin/sh"), QStringLiteral("-c"), QString::fromUtf8(command)};
}

// A process that has ended: gone, or a zombie nobody has reaped yet. Where there is no /proc
// (a Mac), launchd reaps orphans at once, so a process that can still be signalled runs.
bool hasEnded(qint64 pid)
{
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return true;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) == "Z";
}

} // namespace

TEST(SubprocessTest, ReportsHowTheProgramEnded)
{
    const SubprocessOptions inRoot{QStringLiteral("/"), QStringList{QStringLiteral("G=hi")}, {}};
    const struct
    {
        QStringList argv;
        SubprocessOptions options;
        int exitCode;
        int signal;
        QByteArray output;
        QByteArray error;
    } cases[] = {
        {shell("printf out; printf err >&2; exit 3"), {}, 3, 0, "out", "err"},
        {shell("kill -TERM $$"), {}, -1, SIGTERM, "", ""},
        // No shell between: each argument arrives as one word, unexpanded; PATH is searched.
        {{"printf", "%s|", "a b", "$HOME", "'q'", "", "*"}, {}, 0, 0, "a b|$HOME|'q'||*|", ""},
        {shell("pwd; echo \"$G|$HOME\""), inRoot, 0, 0, "/\nhi|\n", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv.join(QLatin1Char(' ')).toStdString());
        const SubprocessResult result = Subprocess::run(c.argv.first(), c.argv.mid(1), c.options);
        EXPECT_FALSE(result.failedToStart);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.signal, c.signal);
        EXPECT_EQ(result.standardOutput, c.output);
        EXPECT_EQ(result.standardError, c.error);
        EXPECT_EQ(result.succeeded(), c.exitCode == 0 && c.signal == 0);
    }
}

TEST(SubprocessTest, ReportsAProgramThatCannotStart)
{
    for (const char *program : {"/nonexistent/tool", "korvanthelix-no-such-tool"}) {
        SCOPED_TRACE(program);
        const SubprocessResult result = Subprocess::run(QString::fromUtf8(program), {});
        EXPECT_TRUE(result.failedToStart);
        EXPECT_FALSE(result.succeeded());
        EXPECT_FALSE(result.startError.isEmpty());
    }
}

// Standard error filling up while standard output is quiet (and the other way round)
// stalls the program for ever unless both pipes are read while waiting.
TEST(SubprocessTest, CollectsLargeOutputOnBothStreams)
{
    const QStringList argv = shell("head -c 3000000 /dev/zero >&2; head -c 5000000 /dev/zero; "
                                   "head -c 1000000 /dev/zero >&2");
    const SubprocessResult result = Subprocess::run(argv.first(), argv.mid(1));
    ASSERT_TRUE(result.succeeded()) << result.failureText().toStdString();
    EXPECT_EQ(result.standardOutput.size(), 5000000);
    EXPECT_EQ(result.standardError.size(), 4000000);
}

// The time limit also kills what the program started, which would keep running.
TEST(SubprocessTest, TimeLimitKillsTheProgramAndItsChildren)
{
    const QStringList argv = shell("sleep 300 & echo $!; wait");
    const SubprocessResult result = Subprocess::run(argv.first(), argv.mid(1), {{}, {}, 200ms});
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.signal, SIGKILL);
    EXPECT_FALSE(result.succeeded());
    const qint64 child = result.outputText().trimmed().toLongLong();
    ASSERT_GT(child, 0);
    EXPECT_TRUE(waitUntil([child] { return hasEnded(child); }));
}

TEST(SubprocessTest, TerminateFromAnotherThreadEndsTheWait)
{
    auto process =
        std::make_shared<Subprocess>(QStringLiteral("sleep"), QStringList{QStringLiteral("300")});
    ASSERT_TRUE(process->start());
    SubprocessResult result;
    std::thread waiter([&] { result = process->waitForFinished(); });
    process->terminate();
    waiter.join();
    EXPECT_TRUE(result.terminated);
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_FALSE(process->isRunning());
}

TEST(SubprocessTest, TerminateBeforeStartKeepsTheProgramFromRunning)
{
    QTemporaryDir folder;
    const QString marker = folder.filePath(QStringLiteral("ran"));
    Subprocess process(QStringLiteral("touch"), {marker});
    process.terminate();
    EXPECT_FALSE(process.start());
    EXPECT_TRUE(process.waitForFinished().terminated);
    EXPECT_FALSE(QFile::exists(marker));
}
