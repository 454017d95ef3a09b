#pragma once

#include <QString>

class AppLogger;

// What the log viewer shows: the end of the activity log, read when the viewer opens and
// again on "Refresh" and after "Clear". Reads and clears wait for the logger's queue, so
// every line logged before them is in the file by then.
class LogViewerPresenter
{
public:
    static constexpr int lineLimit = 400;

    // Reads at once. `logger` is not owned.
    explicit LogViewerPresenter(AppLogger &logger);

    [[nodiscard]] const QString &logText() const { return m_logText; }
    [[nodiscard]] QString logPath() const;

    void refresh();
    // Deletes the log and its rotated generation (failures ignored), then reads again.
    void clear();

private:
    AppLogger &m_logger;
    QString m_logText;
};
