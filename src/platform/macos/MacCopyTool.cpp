#include "platform/macos/MacCopyTool.h"

QStringList macCopyToolArguments(const QString &source, const QString &destination)
{
    return {QStringLiteral("/usr/bin/ditto"), QStringLiteral("--nopreserveHFSCompression"), source,
            destination};
}

QString macTreeRemovalCommand()
{
    return QStringLiteral("/bin/rm -rfx --");
}
