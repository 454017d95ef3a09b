#pragma once

#include <QHashFunctions>
#include <QList>
#include <QString>
#include <QtGlobal>

// How the safe eject may treat a process that holds files on the drive.
enum class EjectProcessKind {
    userApp,          // blocks the eject, is named to the user, never signalled
    safeSystemHelper, // an idle system helper: may be sent SIGTERM
    protectedCore,    // never signalled, and left out of a scan's result
};

[[nodiscard]] inline size_t qHash(EjectProcessKind kind, size_t seed = 0) noexcept
{
    return ::qHash(int(kind), seed);
}

// A process with files open on the drive.
struct EjectBlocker
{
    qint32 pid = 0;
    QString name; // the executable's file name, else the command name lsof reports
    EjectProcessKind kind = EjectProcessKind::userApp;

    friend bool operator==(const EjectBlocker &, const EjectBlocker &) = default;
};

// The outcome of one lsof scan. Only a complete scan (lsof started, ended before its time
// limit, and its output decoded) can tell that nobody holds the drive.
struct EjectBlockerScan
{
    QList<EjectBlocker> blockers; // in lsof's order, each process once
    bool complete = false;

    [[nodiscard]] bool hasKind(EjectProcessKind kind) const;
    [[nodiscard]] QList<EjectBlocker> ofKind(EjectProcessKind kind) const;
};
