#pragma once

#include "platform/EjectTools.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// Who may still change a tree that is about to be moved or deleted: a process that runs from a
// file of it, holds one open for writing, or maps one shared and writable. A write through such a
// map changes no time or size that stat shows, so no note of the tree can see it; only asking who
// holds the files can. Any thread; asks the installed System.
class TreeUsers
{
public:
    // The processes using the trees at `paths` now (their links resolved), this one left out. A
    // tree is named as `shownAs` gives it where given (an original moved aside, by its own place).
    [[nodiscard]] static TreeUsers of(const QStringList &paths, const QStringList &shownAs = {});

    // Those of them that use the tree at `path`, one of the trees asked about.
    [[nodiscard]] TreeUsers within(const QString &path) const;

    // Nobody may change them: no process uses them, and that could be told.
    [[nodiscard]] bool isEmpty() const { return m_uses.isEmpty() && !m_unknown; }
    // Some process runs from one of them.
    [[nodiscard]] bool anyRuns() const;
    // Who does what, for a message: "'Sync Agent' (pid 812) is writing to 'index.db' in
    // '/Users/me/Library/Application Support/Sync'", several joined, or why nobody could tell.
    [[nodiscard]] QString told() const;
    // What the user is asked to do: "Quit it, then try again." or "Quit them, then try again."
    [[nodiscard]] QString request() const;

private:
    struct Tree
    {
        QString path;     // as it is told
        QString resolved; // as the system names what lies in it
    };

    QList<Tree> m_trees;
    QList<FileUse> m_uses;
    std::optional<QString> m_unknown;
};
