#pragma once

#include <QByteArray>
#include <QString>

// Replacing a small file so that what its disk holds is, at every moment, either the previous
// file or the whole new one: the new content is written beside it, pushed to the disk and read
// back from the disk (not from memory) and compared, then renamed over the file, and the folder
// holding it pushed in turn. A disk that fails or goes away shows it only in these checks.
// Blocks on the disk; never on the GUI thread. Callable from any thread.
namespace DurableFile {

// Throws a "FileSystem" error with the errno and a text saying which step failed (the caller
// names the file). The file at `path` is then the previous one, or none where none was.
void replace(const QString &path, const QByteArray &content);

} // namespace DurableFile
