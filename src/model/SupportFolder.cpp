#include "model/SupportFolder.h"

#include "base/ByteCount.h"
#include "base/PathUtils.h"

QString SupportFolder::sizeFormatted() const
{
    const QString text = formatFileSize(size);
    return isOffloaded() ? text + QStringLiteral(" (Offloaded)") : text;
}

QString SupportFolder::driveName() const
{
    return PathUtils::lastComponent(id()).toLower();
}

size_t qHash(const SupportFolder &folder, size_t seed) noexcept
{
    return qHashMulti(seed, folder.url, folder.displayName, folder.size, folder.isSymlink,
                      folder.isAlias, folder.symlinkTarget.has_value(),
                      folder.symlinkTarget.value_or(QString()), folder.isSelected);
}
