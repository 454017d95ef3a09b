#include "transfer/OrphanedStagingItem.h"

#include "base/ByteCount.h"
#include "base/PathUtils.h"

OrphanedStagingItem::OrphanedStagingItem(QUrl url, qint64 size, bool isRecoveryCopy,
                                         bool hasMissingOriginal, std::optional<Seen> seen)
    : id(url.toLocalFile())
    , url(std::move(url))
    , displayName(PathUtils::lastComponent(id))
    , size(size)
    , isRecoveryCopy(isRecoveryCopy)
    , hasMissingOriginal(hasMissingOriginal)
    , seen(seen)
{}

QString OrphanedStagingItem::formattedSize() const
{
    return formatFileSize(size);
}

size_t qHash(const OrphanedStagingItem &item, size_t seed) noexcept
{
    return qHashMulti(seed, item.id, item.url, item.displayName, item.size, item.isRecoveryCopy,
                      item.hasMissingOriginal);
}
