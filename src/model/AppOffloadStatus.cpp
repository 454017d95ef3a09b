#include "model/AppOffloadStatus.h"

QString label(AppOffloadStatus status)
{
    switch (status) {
    case AppOffloadStatus::local:
        return QStringLiteral("On Mac");
    case AppOffloadStatus::offloaded:
        return QStringLiteral("Offloaded");
    case AppOffloadStatus::proxy:
        return QStringLiteral("App Proxy");
    case AppOffloadStatus::copied:
        return QStringLiteral("Copied");
    case AppOffloadStatus::backupOutOfSync:
        return QStringLiteral("Backup Out-of-Sync");
    case AppOffloadStatus::needsReoffload:
        return QStringLiteral("Update Replaced Offload");
    case AppOffloadStatus::protected_:
        return QStringLiteral("Protected");
    case AppOffloadStatus::dangling:
        return QStringLiteral("Drive Missing");
    }
    Q_UNREACHABLE();
}

template<>
QList<AppOffloadStatus> allCases<AppOffloadStatus>()
{
    return {AppOffloadStatus::local,           AppOffloadStatus::offloaded,
            AppOffloadStatus::proxy,           AppOffloadStatus::copied,
            AppOffloadStatus::backupOutOfSync, AppOffloadStatus::needsReoffload,
            AppOffloadStatus::protected_,      AppOffloadStatus::dangling};
}
