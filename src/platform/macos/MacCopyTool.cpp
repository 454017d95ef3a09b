#include "platform/macos/MacCopyTool.h"

QStringList macCopyToolArguments(const QString &source, const QString &destination)
{
    return {QStringLiteral("/usr/bin/ditto"), QStringLiteral("--nopreserveHFSCompression"), source,
            destination};
}

CopyToolHabits macCopyToolHabits()
{
    return {.keepsSocketsAndPipes = false, .skipsRemovedWhileOpenNames = true};
}

QString macTreeRemovalCommand()
{
    return QStringLiteral("/bin/rm -rfx --");
}
