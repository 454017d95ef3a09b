#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Replacing a small file so that what its disk holds is, at every moment, either the previous
// file or the whole new one: the new content is written beside it, pushed to the disk and read
// back from the disk (not from memory) and compared, then renamed over the file, and the folder
// holding it pushed in turn. A disk that fails or goes away shows it only in these checks.
// Blocks on the disk; never on the GUI thread. Callable from any thread and from several
// programs at once: each replacement first removes what earlier ones left beside it when they
// were cut short, never the new copy of one still under way (each holds a file lock on its own;
// where the file system has none, only copies older than an hour go).
namespace DurableFile {

// The file a replacement was meant to replace, as it was read: none, or its device and inode.
struct Original
{
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
};

// Throws a "FileSystem" error with the errno and a text saying which step failed (the caller
// names the file). The file at `path` is then the previous one, or none where none was: the
// previous file keeps a second name until the new one's place in the folder is pushed, a hard
// link where the file system makes one and a copy, pushed with the new content, where it makes
// none (FAT, exFAT); a previous file that can be kept neither way is not replaced. With
// `original`, the file is replaced only while it is still that one: otherwise the error is
// ESTALE, and the caller may read it again and retry. With `everyUserReads`, the new file is
// readable by every user (a drive shared by the users of a Mac), whatever the umask and the
// previous file's mode; otherwise it keeps the previous file's mode.
void replace(const QString &path, const QByteArray &content,
             const std::optional<Original> &original = std::nullopt, bool everyUserReads = false);

} // namespace DurableFile
