#pragma once

#include <QList>
#include <QString>
#include <utility>

class OffloadFileOps;

// The undo list of the local side of an offload: each item moved aside under its
// ".offload-rollback-" name and whether a stand-in (proxy, alias or link) now takes its place.
// Until the drive copies are recorded, undo() puts the Mac back; afterwards the engine deletes
// what was moved aside. undo() ignores its own failures (only the step that failed is reported)
// and never moves an item into an occupied place: what cannot go back stays under its moved-aside
// name, where the leftover scan lists it.
class LocalRollback
{
public:
    explicit LocalRollback(OffloadFileOps &ops); // not owned
    LocalRollback(const LocalRollback &) = delete;
    LocalRollback &operator=(const LocalRollback &) = delete;

    // `original` now lies at `aside`; nothing stands in its place yet.
    void movedAside(const QString &original, const QString &aside);
    // A stand-in now stands at the `original` of the newest entry.
    void standInPlaced();

    // Newest first: removes the stand-in, then moves the original back; an entry whose
    // original has vanished from its moved-aside place is left alone.
    void undo();
    // After undo(): no original is left under its moved-aside name.
    [[nodiscard]] bool isUndone() const;
    // After undo(): a stand-in placed by the move still stands (its original gone from where it
    // was moved aside, or the stand-in not removable), and leads to the drive's copies.
    [[nodiscard]] bool standInRemains() const;
    // Each original and where it was moved aside, oldest first.
    [[nodiscard]] QList<std::pair<QString, QString>> movedAsideItems() const;

    // Moves `aside` back to `original` when nothing is there (links not followed); throws a
    // "FileSystem" error (EEXIST) when something is, or the move's error.
    static void moveBack(OffloadFileOps &ops, const QString &aside, const QString &original);
    // Removes the stand-in at `path`: a link (a dangling one too), an alias or a proxy this system
    // built; nothing when nothing is there. Anything else, such as an application an updater put
    // there since, stays: a "FileSystem" error (EEXIST) says so.
    static void removeStandIn(OffloadFileOps &ops, const QString &path);

private:
    struct Entry
    {
        QString original;
        QString aside;
        bool standIn = false;
    };

    OffloadFileOps &m_ops;
    QList<Entry> m_entries;
};
