#pragma once

#include "platform/Workspace.h"

// Running applications from /proc (an executable inside an ".app" folder belongs to that
// bundle); the Trash of the desktop's freedesktop.org specification.
class LinuxWorkspace : public Workspace
{
public:
    [[nodiscard]] QStringList runningApplicationBundles() override;
    [[nodiscard]] Verdict moveToTrash(const QString &path) override;
};
