#include "services/AppLogger.h"

#include "support/Sandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

const QString kNoEntries = QStringLiteral("No log entries recorded yet.");

class AppLoggerTest : public ::testing::Test
{
protected:
    QString folder() const { return sandbox.home() + QStringLiteral("/Library/Logs/Korvanthelix"); }
    QString logFile() const { return folder() + QStringLiteral("/korvanthelix.log"); }
    QString rotatedFile() const { return folder() + QStringLiteral("/korvanthelix.log.1"); }

    Sandbox sandbox;
    AppLogger logger;
};

TEST(AppLogLevelTest, LabelsAreExact)
{
    const QList<AppLogLevel> levels = allCases<AppLogLevel>();
    ASSERT_EQ(levels.size(), 3);
    for (const AppLogLevel level : levels)
        EXPECT_EQ(fromLabel<AppLogLevel>(label(level)), level);
    EXPECT_EQ(label(AppLogLevel::warning), QStringLiteral("WARN"));
    for (const char *text : {"WARNING", "info", ""})
        EXPECT_FALSE(fromLabel<AppLogLevel>(QString::fromLatin1(text))) << text;
}

TEST_F(AppLoggerTest, WritesOneLinePerCallAndMirrorsToTheSystemLog)
{
    EXPECT_TRUE(QFileInfo(folder()).isDir()) << "made at creation";
    logger.info(QStringLiteral("scanned 3"), QStringLiteral("Scanner"));
    logger.warning(QStringLiteral("slow drive"), QStringLiteral("Volume"));
    logger.error(QStringLiteral("two\nlines"), QStringLiteral("Offload"));

    const QString text = logger.readRecentLines(400);
    const QRegularExpression format(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z \\[INFO\\] \\[Scanner\\] scanned 3\\n"
        "\\S+ \\[WARN\\] \\[Volume\\] slow drive\\n"
        "\\S+ \\[ERROR\\] \\[Offload\\] two\\nlines\\n$"));
    EXPECT_TRUE(format.match(text).hasMatch()) << text.toStdString();

    const QString subsystem = QStringLiteral("com.korvanthelix.app");
    EXPECT_EQ(sandbox.system().recordingSystemLog().entries(),
              QList<RecordingSystemLog::Entry>(
                  {{subsystem, QStringLiteral("Scanner"), SystemLogSeverity::info,
                    QStringLiteral("scanned 3")},
                   {subsystem, QStringLiteral("Volume"), SystemLogSeverity::error,
                    QStringLiteral("slow drive")},
                   {subsystem, QStringLiteral("Offload"), SystemLogSeverity::error,
                    QStringLiteral("two\nlines")}}));
}

TEST_F(AppLoggerTest, RotatesOnceTheFileReachedTheLimit)
{
    struct Case
    {
        qint64 initialSize;
        int linesBeforeRotation;
    };
    for (const Case c : {Case{AppLogger::maxLogBytes, 0}, Case{AppLogger::maxLogBytes - 1, 1}}) {
        logger.clearLog();
        sandbox.writeFile(logFile(), QByteArray(c.initialSize, 'x'));
        sandbox.writeFile(rotatedFile(), "older generation\n");
        for (int i = 0; i < c.linesBeforeRotation; ++i)
            logger.info(QStringLiteral("appended"), QStringLiteral("Test"));
        (void)logger.readRecentLines(0); // waits for the writer
        const qint64 sizeBefore = QFileInfo(logFile()).size();
        EXPECT_EQ(QFileInfo(rotatedFile()).size(), 17) << c.initialSize;

        logger.info(QStringLiteral("rotating"), QStringLiteral("Test"));
        const QString text = logger.readRecentLines(400);
        EXPECT_TRUE(text.endsWith(QStringLiteral("] [Test] rotating\n")) &&
                    text.count(QLatin1Char('\n')) == 1)
            << c.initialSize;
        EXPECT_EQ(QFileInfo(rotatedFile()).size(), sizeBefore) << c.initialSize;
    }
}

TEST_F(AppLoggerTest, ReadsTheLastPieces)
{
    struct Case
    {
        std::optional<QByteArray> content;
        int limit;
        QString expected;
    };
    const Case cases[] = {
        {std::nullopt, 400, kNoEntries},
        {QByteArray(), 400, QString()},
        {"a\nb\nc\n", 2, QStringLiteral("c\n")},
        {"a\nb\nc\n", 3, QStringLiteral("b\nc\n")},
        {"a\nb\nc\n", 4, QStringLiteral("a\nb\nc\n")},
        {"a\nb", 1, QStringLiteral("b")},
        {"a\nb\n", 0, QString()},
        {"ok\n\xff bad\n", 400,
         QStringLiteral("ok\n") + QChar(QChar::ReplacementCharacter) + QStringLiteral(" bad\n")},
    };
    for (const Case &c : cases) {
        logger.clearLog();
        if (c.content)
            sandbox.writeFile(logFile(), *c.content);
        EXPECT_EQ(logger.readRecentLines(c.limit), c.expected)
            << c.content.value_or("<none>").constData() << " " << c.limit;
    }
    logger.clearLog();
    sandbox.writeFile(rotatedFile(), "only the old generation\n");
    EXPECT_EQ(logger.readRecentLines(400), kNoEntries) << "the rotated file is never read";
    sandbox.makeFolder(logFile());
    EXPECT_EQ(logger.readRecentLines(400), kNoEntries) << "unreadable";
}

TEST_F(AppLoggerTest, ClearsBothFilesAndRecreatesAMissingFolder)
{
    logger.clearLog(); // nothing there: no effect
    logger.info(QStringLiteral("one"), QStringLiteral("Test"));
    sandbox.writeFile(rotatedFile(), "old\n");
    logger.clearLog();
    EXPECT_FALSE(QFileInfo::exists(logFile()) || QFileInfo::exists(rotatedFile()));

    ASSERT_TRUE(QDir(folder()).removeRecursively());
    logger.warning(QStringLiteral("back"), QStringLiteral("Test"));
    EXPECT_TRUE(logger.readRecentLines(400).endsWith(QStringLiteral("[WARN] [Test] back\n")));
}

TEST_F(AppLoggerTest, KeepsTheOrderOfEachThread)
{
    constexpr int threads = 8;
    constexpr int linesEach = 250;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([this, t] {
            for (int n = 0; n < linesEach; ++n)
                logger.info(QStringLiteral("%1 %2").arg(t).arg(n), QStringLiteral("Test"));
        });
    }
    for (std::thread &worker : workers)
        worker.join();

    // No waiting here: the reader itself waits for every line submitted before it.
    const QStringList lines =
        logger.readRecentLines(100000).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), threads * linesEach);
    std::vector<int> next(threads, 0);
    for (const QString &line : lines) {
        const QStringList words = line.section(QStringLiteral("] "), 2).split(QLatin1Char(' '));
        ASSERT_EQ(words.size(), 2) << line.toStdString();
        EXPECT_EQ(words[1].toInt(), next[size_t(words[0].toInt())]++) << line.toStdString();
    }
}

} // namespace
