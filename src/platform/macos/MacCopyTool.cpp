#include "platform/macos/MacCopyTool.h"

QStringList macCopyToolArguments(const QString &source, const QString &destination)
{
    return {QStringLiteral("/usr/bin/ditto"), QStringLiteral("--nopreserveHFSCompression"), source,
            destination};
}
