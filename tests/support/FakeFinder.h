#pragma once

#include "platform/Finder.h"

#include <QList>
#include <QStringList>
#include <mutex>

// A file manager that records every request. By default it makes nothing, like a machine
// without Finder; a test can let alias files or bookmark files "work", which then writes
// a small marker file ("alias:" or "bookmark:" followed by the target) at the alias path.
class FakeFinder : public Finder
{
public:
    struct Call
    {
        QString operation; // "makeAliasFile", "writeBookmarkFile" or "update"
        QStringList arguments;
        friend bool operator==(const Call &, const Call &) = default;
    };

    [[nodiscard]] bool makeAliasFile(const QString &targetPath, const QString &folder,
                                     const QString &aliasName) override;
    [[nodiscard]] bool writeBookmarkFile(const QString &targetPath,
                                         const QString &aliasPath) override;
    void update(const QString &path) override;

    void setAliasFilesWork(bool work);
    void setBookmarksWork(bool work);
    [[nodiscard]] QList<Call> calls() const;

private:
    void record(Call call);

    mutable std::mutex m_mutex;
    QList<Call> m_calls;
    bool m_aliasFilesWork = false;
    bool m_bookmarksWork = false;
};
