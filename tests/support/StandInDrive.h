#pragma once

#include "base/Subprocess.h"

#include <QString>
#include <QStringList>
#include <memory>

// A drive mounted over a folder by the stand_in_drive tool (tests/tools/StandInDrive.cpp):
// without file locks, or stopping to answer while asked. Unmounted, answering again first, when
// it goes. Needs the tool and permission to mount; ready() is false otherwise, and tests skip.
class StandInDrive
{
public:
    enum class Kind { noLocks, hangs };

    // `tool` is the program's path; the drive's content lives in `source`.
    StandInDrive(const QString &tool, const QString &source, const QString &mountPoint, Kind kind);
    ~StandInDrive();
    StandInDrive(const StandInDrive &) = delete;
    StandInDrive &operator=(const StandInDrive &) = delete;

    [[nodiscard]] bool ready() const { return m_ready; }
    [[nodiscard]] const QString &mountPoint() const { return m_mountPoint; }
    // From now on every request waits unanswered; answer() lets them all through.
    void hang();
    void answer();

private:
    QString m_mountPoint;
    QString m_hangFlag;
    std::unique_ptr<Subprocess> m_server;
    bool m_ready = false;
};
