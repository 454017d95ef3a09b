#include "platform/linux/LinuxFinder.h"

bool LinuxFinder::makeAliasFile(const QString &, const QString &, const QString &)
{
    return false;
}

bool LinuxFinder::writeBookmarkFile(const QString &, const QString &)
{
    return false;
}

void LinuxFinder::update(const QString &)
{}
