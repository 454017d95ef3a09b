#include "platform/linux/ToolLookup.h"

#include <QStringList>
#include <unistd.h>

namespace ToolLookup {

QString systemTool(const QString &name)
{
    static const QStringList folders = {
        QStringLiteral("/usr/sbin"),
        QStringLiteral("/usr/bin"),
        QStringLiteral("/sbin"),
        QStringLiteral("/bin"),
    };
    for (const QString &folder : folders) {
        const QString candidate = folder + QLatin1Char('/') + name;
        if (::access(candidate.toLocal8Bit().constData(), X_OK) == 0)
            return candidate;
    }
    return {};
}

} // namespace ToolLookup
