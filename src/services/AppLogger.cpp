#include "services/AppLogger.h"

#include "base/Iso8601.h"
#include "platform/System.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace {

const QLatin1String kLogFileName("korvanthelix.log");
const QLatin1String kRotatedFileName("korvanthelix.log.1");

QString logDirectoryPath(const std::shared_ptr<System> &system)
{
    return system->paths().home + QStringLiteral("/Library/Logs/Korvanthelix");
}

QString logFilePath(const QString &folder)
{
    return folder + QLatin1Char('/') + kLogFileName;
}

QString rotatedFilePath(const QString &folder)
{
    return folder + QLatin1Char('/') + kRotatedFileName;
}

SystemLogSeverity severityOf(AppLogLevel level)
{
    return level == AppLogLevel::info ? SystemLogSeverity::info : SystemLogSeverity::error;
}

// Runs on the writer thread. Every failure is ignored: a line that cannot be written is lost.
void appendLine(const QString &folder, const QByteArray &bytes)
{
    if (!QFileInfo::exists(folder))
        QDir().mkpath(folder);
    const QString file = logFilePath(folder);
    // The size test comes before the append, so the file may pass the limit by one line;
    // the next line rotates it.
    const QFileInfo info(file);
    if (info.exists() && info.size() >= AppLogger::maxLogBytes) {
        const QString rotated = rotatedFilePath(folder);
        QFile::remove(rotated);
        QFile::rename(file, rotated);
    }
    if (bytes.isEmpty())
        return;
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    out.write(bytes);
}

} // namespace

QString label(AppLogLevel level)
{
    switch (level) {
    case AppLogLevel::info:
        return QStringLiteral("INFO");
    case AppLogLevel::warning:
        return QStringLiteral("WARN");
    case AppLogLevel::error:
        return QStringLiteral("ERROR");
    }
    Q_UNREACHABLE();
}

template<>
QList<AppLogLevel> allCases<AppLogLevel>()
{
    return {AppLogLevel::info, AppLogLevel::warning, AppLogLevel::error};
}

// One thread working through a first-in, first-out list of tasks.
class AppLogger::Writer
{
public:
    Writer()
        : m_thread([this] { run(); })
    {}

    ~Writer()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    void post(std::function<void()> task)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_tasks.push_back(std::move(task));
        }
        m_wake.notify_one();
    }

    // Runs `task` after everything posted before it and waits for it.
    void runAndWait(const std::function<void()> &task)
    {
        // Waiting on ourselves would never end.
        if (std::this_thread::get_id() == m_thread.get_id()) {
            task();
            return;
        }
        std::promise<void> done;
        std::future<void> finished = done.get_future();
        post([&task, &done] {
            task();
            done.set_value();
        });
        finished.wait();
    }

private:
    void run()
    {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
                // Stopping drains the list first, so no line logged before shutdown is lost.
                if (m_tasks.empty())
                    return;
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            task();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    bool m_stopping = false;
    std::thread m_thread; // last, so it starts after the members it uses
};

AppLogger::AppLogger()
    : m_writer(std::make_unique<Writer>())
{
    QDir().mkpath(logDirectoryPath(System::installed()));
}

AppLogger::~AppLogger() = default;

AppLogger &AppLogger::shared()
{
    static AppLogger instance;
    return instance;
}

QUrl AppLogger::logDirectoryURL() const
{
    return QUrl::fromLocalFile(logDirectoryPath(System::installed()));
}

QUrl AppLogger::logFileURL() const
{
    return QUrl::fromLocalFile(logFilePath(logDirectoryPath(System::installed())));
}

void AppLogger::log(AppLogLevel level, const QString &category, const QString &message)
{
    const std::shared_ptr<System> system = System::installed();
    system->systemLog().write(subsystem(), category, severityOf(level), message);
    const QString line = iso8601MillisNow() + QLatin1String(" [") + label(level) +
                         QLatin1String("] [") + category + QLatin1String("] ") + message +
                         QLatin1Char('\n');
    m_writer->post(
        [folder = logDirectoryPath(system), bytes = line.toUtf8()] { appendLine(folder, bytes); });
}

void AppLogger::info(const QString &message, const QString &category)
{
    log(AppLogLevel::info, category, message);
}

void AppLogger::warning(const QString &message, const QString &category)
{
    log(AppLogLevel::warning, category, message);
}

void AppLogger::error(const QString &message, const QString &category)
{
    log(AppLogLevel::error, category, message);
}

QString AppLogger::readRecentLines(int limit)
{
    const QString file = logFilePath(logDirectoryPath(System::installed()));
    QString result;
    m_writer->runAndWait([&file, &result, limit] {
        QFile in(file);
        QByteArray bytes;
        if (in.open(QIODevice::ReadOnly))
            bytes = in.readAll();
        if (!in.isOpen() || in.error() != QFileDevice::NoError) {
            result = QStringLiteral("No log entries recorded yet.");
            return;
        }
        // A damaged byte sequence shows as a replacement character instead of hiding the
        // whole log.
        const QString text = QString::fromUtf8(bytes);
        const QStringList pieces = text.split(QLatin1Char('\n'));
        const qsizetype wanted = qMax(0, limit);
        result = pieces.size() > wanted ? pieces.mid(pieces.size() - wanted).join(QLatin1Char('\n'))
                                        : text;
    });
    return result;
}

void AppLogger::clearLog()
{
    const QString folder = logDirectoryPath(System::installed());
    m_writer->runAndWait([&folder] {
        QFile::remove(logFilePath(folder));
        QFile::remove(rotatedFilePath(folder));
    });
}
