#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <sys/types.h>
#include <utility>
#include <vector>

// What a tree is, item by item, as one walk of lstat sees it, no content read: each item's
// device, inode, kind, permissions and owner, and but for folders its size and modification and
// change times. So a file written to, an item added, removed, replaced or moved, and the tree
// itself put aside for another or for a link all show. A folder's own times and size are left
// out, since they change with what it holds and each item it holds is noted itself; so are the
// root's change time, which moving the tree within its folder changes, and ".DS_Store", sockets
// and pipes, which copies and their verification leave out. Walked one folder at a time from the
// one holding it, never through a link, on the root's file system only. Sixteen bytes an item;
// any thread.
class TreeFingerprint
{
public:
    // The tree at `path`; a link there is noted as the link itself.
    [[nodiscard]] static TreeFingerprint of(const QString &path);
    // The tree of the item `name` of the open folder `folder`.
    [[nodiscard]] static TreeFingerprint of(int folder, const QByteArray &name);

    // Nothing while the tree there is still this one; otherwise what changed, as a phrase ("'log'
    // in it changed", "it was replaced by a link", "an item was removed from it"…).
    [[nodiscard]] std::optional<QString> changeAt(const QString &path) const;
    [[nodiscard]] std::optional<QString> changeAt(int folder, const QByteArray &name) const;

    friend bool operator==(const TreeFingerprint &, const TreeFingerprint &) = default;

private:
    [[nodiscard]] QString describeChange(const TreeFingerprint &now, int folder,
                                         const QByteArray &name) const;

    bool m_exists = false;
    // Every folder could be listed, on the root's file system, and nothing vanished meanwhile.
    bool m_whole = false;
    mode_t m_rootType = 0;
    quint64 m_root = 0;
    std::vector<std::pair<quint64, quint64>> m_items; // (path, state), by path
};
