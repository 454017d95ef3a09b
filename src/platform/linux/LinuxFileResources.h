#pragma once

#include "platform/FileResources.h"

// Linux has no Finder aliases: the alias flag is true for symbolic links only, as it is on a
// Mac for them. Packages are folders with a bundle extension; hidden items start with ".".
class LinuxFileResources : public FileResources
{
public:
    [[nodiscard]] bool isHidden(const QString &path) override;
    [[nodiscard]] std::optional<bool> isAliasFile(const QString &path) override;
    [[nodiscard]] std::optional<QString> resolveAliasFile(const QString &path) override;
    // The file attributes chattr sets.
    [[nodiscard]] std::optional<QString> removalLock(const QString &path) override;
};
