#pragma once

#include <QString>
#include <optional>

// Path helpers that work on text and, where named, on the disk without Qt's caches.
namespace PathUtils {

// Lexical standardisation: collapses "//", removes "." and resolves ".." against the text,
// drops a trailing "/". Never touches the disk.
[[nodiscard]] QString standardized(const QString &path);

// Resolves symbolic links in every existing component; a missing tail is appended
// lexically, so a link into a missing folder still resolves.
[[nodiscard]] QString resolved(const QString &path);

// The text stored in a symbolic link, unresolved; nothing when `path` is not a link.
[[nodiscard]] std::optional<QString> linkText(const QString &path);

// Something exists at `path` when links are followed (a dangling link does not count).
[[nodiscard]] bool existsFollowingLinks(const QString &path);
// Something exists at `path` itself (a dangling link counts), as lstat sees it.
[[nodiscard]] bool existsNoFollow(const QString &path);
[[nodiscard]] bool isSymlink(const QString &path);
// A folder, following links.
[[nodiscard]] bool isDirectory(const QString &path);
// A real folder, not a link to one.
[[nodiscard]] bool isDirectoryNoFollow(const QString &path);

[[nodiscard]] QString lastComponent(const QString &path);
[[nodiscard]] QString parentPath(const QString &path);
// The last component without its extension ("Foo.app" -> "Foo").
[[nodiscard]] QString baseName(const QString &path);
[[nodiscard]] QString extension(const QString &path);
[[nodiscard]] QString join(const QString &folder, const QString &name);

// `path` equals `root` or lies below it (component-wise on standardised text).
[[nodiscard]] bool isSameOrInside(const QString &path, const QString &root);

} // namespace PathUtils
