#pragma once

#include "platform/Finder.h"
#include "platform/macos/DarwinCalls.h"

// Finder driven by AppleScript through the script runner, with the program's own rights;
// bookmark files through the platform's URL services.
class MacFinder : public Finder
{
public:
    // `tool` is the script runner; tests put a stand-in there. Without `darwin` no bookmark
    // file is ever written.
    explicit MacFinder(QString tool = {}, std::shared_ptr<DarwinCalls> darwin = nullptr);

    [[nodiscard]] bool makeAliasFile(const QString &targetPath, const QString &folder,
                                     const QString &aliasName) override;
    [[nodiscard]] bool writeBookmarkFile(const QString &targetPath,
                                         const QString &aliasPath) override;
    void update(const QString &path) override;

    // The script that asks Finder for an alias file; its errors stay inside the script.
    [[nodiscard]] static QString aliasScript(const QString &targetPath, const QString &folder,
                                             const QString &aliasName);
    // The script that asks Finder to refresh one item.
    [[nodiscard]] static QString updateScript(const QString &path);

private:
    QString m_tool;
    std::shared_ptr<DarwinCalls> m_darwin;
};
