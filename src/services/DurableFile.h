#pragma once

#include <QByteArray>
#include <QString>

// Replacing a small file so that what its disk holds is, at every moment, either the previous
// file or the whole new one: the new content is written beside it, pushed to the disk and read
// back from the disk (not from memory) and compared, then renamed over the file, and the folder
// holding it pushed in turn. A disk that fails or goes away shows it only in these checks.
// Blocks on the disk; never on the GUI thread. Callable from any thread; the callers let one
// writer at a time replace a given file, since each replacement first removes what earlier
// interrupted ones left beside it.
namespace DurableFile {

// Throws a "FileSystem" error with the errno and a text saying which step failed (the caller
// names the file). The file at `path` is then the previous one, or none where none was: the
// previous file keeps a second name until the new one's place in the folder is pushed, a hard
// link where the file system makes one and a copy, pushed with the new content, where it makes
// none (FAT, exFAT); a previous file that can be kept neither way is not replaced.
void replace(const QString &path, const QByteArray &content);

} // namespace DurableFile
