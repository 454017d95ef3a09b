#pragma once

#include <QMap>
#include <QString>

// A fingerprint of a file tree: every path (relative to the root), its kind, mode, link text
// and content digest. Two equal digests mean nothing was lost or changed.
struct TreeEntry
{
    enum class Kind { File, Folder, Link, Other };
    Kind kind = Kind::Other;
    int mode = 0;
    QString linkText;
    QByteArray sha256;
    friend bool operator==(const TreeEntry &, const TreeEntry &) = default;
};

using TreeDigest = QMap<QString, TreeEntry>;

// Links are recorded, never followed. The root itself is recorded as "".
[[nodiscard]] TreeDigest digestTree(const QString &root);
// A readable account of how two digests differ (empty when equal).
[[nodiscard]] QString describeDifference(const TreeDigest &expected, const TreeDigest &actual);
