#pragma once

#include <QString>

// The file manager's own services: alias files and refreshing its view of an item. Runs
// with the program's own rights. Safe to call from any thread.
class Finder
{
public:
    virtual ~Finder() = default;

    // Asks the file manager to make an alias file called `aliasName` in `folder` that
    // refers to `targetPath`. True when the request ran without an error; whether an item
    // now exists is for the caller to look at.
    [[nodiscard]] virtual bool makeAliasFile(const QString &targetPath, const QString &folder,
                                             const QString &aliasName) = 0;
    // Writes a bookmark file for `targetPath` at `aliasPath`. False when the platform has no
    // bookmark files or writing failed.
    [[nodiscard]] virtual bool writeBookmarkFile(const QString &targetPath,
                                                 const QString &aliasPath) = 0;
    // Asks the file manager to look at the item again; errors are ignored.
    virtual void update(const QString &path) = 0;
};
