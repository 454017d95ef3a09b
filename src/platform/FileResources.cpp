#include "platform/FileResources.h"

#include "base/PathUtils.h"

#include <QStringList>

namespace {

// The folder kinds that a Mac presents as single files and the inventory must not enter.
const QStringList &packageExtensions()
{
    static const QStringList extensions = {
        QStringLiteral("app"),       QStringLiteral("appex"),       QStringLiteral("bundle"),
        QStringLiteral("framework"), QStringLiteral("plugin"),      QStringLiteral("kext"),
        QStringLiteral("xpc"),       QStringLiteral("prefpane"),    QStringLiteral("pkg"),
        QStringLiteral("mpkg"),      QStringLiteral("qlgenerator"), QStringLiteral("mdimporter"),
        QStringLiteral("saver"),     QStringLiteral("component"),   QStringLiteral("vst"),
        QStringLiteral("vst3"),      QStringLiteral("docset"),
    };
    return extensions;
}

} // namespace

bool FileResources::isPackage(const QString &path)
{
    return PathUtils::isDirectoryNoFollow(path) &&
           packageExtensions().contains(PathUtils::extension(path), Qt::CaseInsensitive);
}
