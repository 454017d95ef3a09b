#include "model/SupportFolder.h"

#include "base/ByteCount.h"

QString SupportFolder::sizeFormatted() const
{
    const QString text = formatFileSize(size);
    return isOffloaded() ? text + QStringLiteral(" (Offloaded)") : text;
}

size_t qHash(const SupportFolder &folder, size_t seed) noexcept
{
    return qHashMulti(seed, folder.url, folder.displayName, folder.size, folder.isSymlink,
                      folder.isAlias, folder.symlinkTarget.has_value(),
                      folder.symlinkTarget.value_or(QString()), folder.isSelected);
}
