#include "views/sheets/LogViewerPresenter.h"
#include "services/AppLogger.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

namespace {

class LogViewerPresenterTest : public ::testing::Test
{
protected:
    QString logPath() const { return logger.logFileURL().toLocalFile(); }
    void writeLog(int lines)
    {
        QByteArray content;
        for (int i = 1; i <= lines; ++i)
            content +=
                "2025-01-31T14:05:09.000Z [INFO] [Test] line " + QByteArray::number(i) + '\n';
        sandbox.writeFile(logPath(), content);
    }

    Sandbox sandbox;
    AppLogger logger;
};

TEST_F(LogViewerPresenterTest, MissingLogReadsAsNoEntries)
{
    const LogViewerPresenter presenter(logger);
    EXPECT_EQ(presenter.logText(), QStringLiteral("No log entries recorded yet."));
    EXPECT_TRUE(presenter.logPath().endsWith(
        QStringLiteral("/Library/Logs/Korvanthelix/korvanthelix.log")));
}

TEST_F(LogViewerPresenterTest, ShowsAtMostTheLast400Pieces)
{
    writeLog(10);
    LogViewerPresenter presenter(logger);
    EXPECT_EQ(presenter.logText().count(QLatin1Char('\n')), 10);
    EXPECT_TRUE(presenter.logText().startsWith(QStringLiteral("2025")));

    writeLog(1000);
    presenter.refresh();
    // The final newline leaves an empty last piece: 399 lines and a line break.
    const QStringList pieces = presenter.logText().split(QLatin1Char('\n'));
    ASSERT_EQ(pieces.size(), 400);
    EXPECT_TRUE(pieces.first().endsWith(QStringLiteral("line 602")));
    EXPECT_TRUE(pieces.at(398).endsWith(QStringLiteral("line 1000")));
    EXPECT_TRUE(pieces.last().isEmpty());
}

} // namespace
