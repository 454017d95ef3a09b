#include "support/FakeFinder.h"

#include <QFile>

namespace {

bool writeMarker(const QString &path, const QString &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::NewOnly) &&
           file.write(content.toUtf8()) == content.toUtf8().size();
}

} // namespace

bool FakeFinder::makeAliasFile(const QString &targetPath, const QString &folder,
                               const QString &aliasName)
{
    record({QStringLiteral("makeAliasFile"), {targetPath, folder, aliasName}});
    const std::lock_guard lock(m_mutex);
    if (!m_aliasFilesWork)
        return false;
    return writeMarker(folder + QLatin1Char('/') + aliasName,
                       QStringLiteral("alias:") + targetPath);
}

bool FakeFinder::writeBookmarkFile(const QString &targetPath, const QString &aliasPath)
{
    record({QStringLiteral("writeBookmarkFile"), {targetPath, aliasPath}});
    const std::lock_guard lock(m_mutex);
    return m_bookmarksWork && writeMarker(aliasPath, QStringLiteral("bookmark:") + targetPath);
}

void FakeFinder::update(const QString &path)
{
    record({QStringLiteral("update"), {path}});
}

void FakeFinder::setAliasFilesWork(bool work)
{
    const std::lock_guard lock(m_mutex);
    m_aliasFilesWork = work;
}

void FakeFinder::setBookmarksWork(bool work)
{
    const std::lock_guard lock(m_mutex);
    m_bookmarksWork = work;
}

QList<FakeFinder::Call> FakeFinder::calls() const
{
    const std::lock_guard lock(m_mutex);
    return m_calls;
}

void FakeFinder::record(Call call)
{
    const std::lock_guard lock(m_mutex);
    m_calls.append(std::move(call));
}
