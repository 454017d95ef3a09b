#include "views/sheets/LogViewerPresenter.h"

#include "services/AppLogger.h"

LogViewerPresenter::LogViewerPresenter(AppLogger &logger)
    : m_logger(logger)
{
    refresh();
}

QString LogViewerPresenter::logPath() const
{
    return m_logger.logFileURL().toLocalFile();
}

void LogViewerPresenter::refresh()
{
    m_logText = m_logger.readRecentLines(lineLimit);
}

void LogViewerPresenter::clear()
{
    m_logger.clearLog();
    refresh();
}
