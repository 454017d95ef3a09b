#include "platform/Workspace.h"

#include <QFile>

Verdict Workspace::moveToTrash(const QString &path)
{
    QFile file(path);
    if (file.moveToTrash())
        return Verdict::pass();
    return Verdict::fail(file.errorString().isEmpty()
                             ? QStringLiteral("Could not move '%1' to the Trash").arg(path)
                             : file.errorString());
}
