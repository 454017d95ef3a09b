#pragma once

#include "platform/EjectTools.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// Who may still change a tree that is about to be moved or deleted: a process that runs from a
// file of it, holds one open for writing, maps one shared, or works in one of its folders. A write
// through such a map changes no time or size that stat shows, so no note of the tree can see it;
// only asking who holds the files can. Files are known by identity, so a hard link elsewhere or an
// odd name hides none. Any thread; asks the installed System.
class TreeUsers
{
public:
    // The processes using the trees at `paths` now (their links resolved), this one left out: the
    // trees are walked once each and every process looked at once for all of them. A tree is named
    // as `shownAs` gives it where given (an original moved aside, by its own place).
    [[nodiscard]] static TreeUsers of(const QStringList &paths, const QStringList &shownAs = {});

    // Those of them that use the tree at `path`, one of the trees asked about.
    [[nodiscard]] TreeUsers within(const QString &path) const;

    // Nobody may change them: no process uses them, and that could be told. A process this one may
    // not look into is no use: an ordinary user can never look into the system's own processes.
    [[nodiscard]] bool isEmpty() const { return m_uses.isEmpty() && !m_unknown; }
    // Some process runs from one of them.
    [[nodiscard]] bool anyRuns() const;
    // Who does what, for a message: "'Sync Agent' (pid 812) is writing to 'index.db' in
    // '/Users/me/Library/Application Support/Sync'", several joined, and how many processes could
    // not be looked into; or why nobody could tell.
    [[nodiscard]] QString told() const;
    // What the user is asked to do: "Quit it, then try again." or "Quit them, then try again."
    [[nodiscard]] QString request() const;
    // For a message that tells the trees were removed, when some processes could not be looked
    // into: one sentence saying that one of them might still have been writing; empty otherwise.
    [[nodiscard]] QString uninspectedNote() const;
    // The same for several looks, each before the removal of its own trees.
    [[nodiscard]] static QString uninspectedNote(const QList<TreeUsers> &looks);

private:
    struct Tree
    {
        QString path;     // as it is told
        QString resolved; // as its items are named
    };
    struct Use
    {
        FileUse use; // its file named as in its tree
        qsizetype tree = 0;
    };

    // How many could not be looked into, and some of their names; `others` beside those told.
    [[nodiscard]] QString namedUninspected(bool others) const;

    QList<Tree> m_trees;
    QList<Use> m_uses;
    QList<UninspectedProcess> m_uninspected;
    std::optional<QString> m_unknown;
};
