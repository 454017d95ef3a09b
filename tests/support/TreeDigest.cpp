#include "support/TreeDigest.h"

#include "base/PathUtils.h"
#include "base/Sha256.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <sys/stat.h>

namespace {

TreeEntry entryFor(const QString &path)
{
    TreeEntry entry;
    struct stat info
    {};
    if (::lstat(path.toLocal8Bit().constData(), &info) != 0)
        return entry;
    entry.mode = int(info.st_mode & 07777);
    if (S_ISLNK(info.st_mode)) {
        entry.kind = TreeEntry::Kind::Link;
        entry.linkText = PathUtils::linkText(path).value_or(QString());
        entry.mode = 0;
    } else if (S_ISDIR(info.st_mode)) {
        entry.kind = TreeEntry::Kind::Folder;
    } else if (S_ISREG(info.st_mode)) {
        entry.kind = TreeEntry::Kind::File;
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            entry.sha256 = Sha256::hash(file.readAll());
    }
    return entry;
}

QString kindName(TreeEntry::Kind kind)
{
    switch (kind) {
    case TreeEntry::Kind::File:
        return QStringLiteral("file");
    case TreeEntry::Kind::Folder:
        return QStringLiteral("folder");
    case TreeEntry::Kind::Link:
        return QStringLiteral("link");
    case TreeEntry::Kind::Other:
        break;
    }
    return QStringLiteral("other");
}

} // namespace

TreeDigest digestTree(const QString &root)
{
    TreeDigest digest;
    digest.insert(QString(), entryFor(root));
    if (digest.value(QString()).kind != TreeEntry::Kind::Folder)
        return digest;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        digest.insert(path.mid(root.size() + 1), entryFor(path));
    }
    return digest;
}

QString describeDifference(const TreeDigest &expected, const TreeDigest &actual)
{
    QStringList lines;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            lines << QStringLiteral("missing: ") + it.key();
        else if (!(actual.value(it.key()) == it.value()))
            lines << QStringLiteral("changed: %1 (%2)").arg(it.key(), kindName(it->kind));
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            lines << QStringLiteral("extra: ") + it.key();
    }
    return lines.join(QLatin1Char('\n'));
}
