#pragma once

#include "platform/Finder.h"

// Linux has no Finder: no alias files and no bookmark files, so callers fall through to a
// symbolic link; there is nothing to refresh.
class LinuxFinder : public Finder
{
public:
    [[nodiscard]] bool makeAliasFile(const QString &targetPath, const QString &folder,
                                     const QString &aliasName) override;
    [[nodiscard]] bool writeBookmarkFile(const QString &targetPath,
                                         const QString &aliasPath) override;
    void update(const QString &path) override;
};
