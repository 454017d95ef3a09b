#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// How late the thread's event loop runs: a timer firing every 10 ms notes the longest time
// between two of its ticks. Lives on the thread it measures (the GUI thread).
class TimerProbe
{
public:
    TimerProbe()
    {
        m_clock.start();
        m_timer.setInterval(10);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout,
                         [this] { m_longest = std::max(m_longest, m_clock.restart()); });
        m_timer.start();
    }

    // The longest gap so far, the one still open included.
    [[nodiscard]] qint64 longestGapMs() const { return std::max(m_longest, m_clock.elapsed()); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
};
