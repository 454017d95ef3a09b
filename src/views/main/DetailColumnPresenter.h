#pragma once

#include "model/AppItem.h"
#include "model/TargetVolume.h"
#include "views/main/ListVocabulary.h"

#include <QColor>
#include <QList>
#include <QSet>
#include <QString>
#include <optional>

enum class DetailContent {
    historyPlaceholder,
    appDetail,
    storageOverview,
    batchInspector,
};

// The storage overview's figures and target line.
struct StorageOverviewModel
{
    qint64 reclaimableBytes = 0;
    int reclaimableCount = 0;
    qint64 offloadedBytes = 0;
    int offloadedCount = 0;
    QString localFigure;
    QString localCaption;
    QString offloadedFigure;
    QString offloadedCaption;
    bool hasTarget = false;
    QString targetText;
    QString targetSymbol;
};

namespace DetailColumnPresenter {

inline const QString historyPlaceholderText = QStringLiteral("Select an item to view details");

// The third column's content for the section, the selection and the inventory.
[[nodiscard]] DetailContent choose(std::optional<NavigationSection> section,
                                   const QSet<QString> &selectedAppIds, const QList<AppItem> &apps);

// Reads each item's proxy state from disk.
[[nodiscard]] StorageOverviewModel storageOverview(const QList<AppItem> &apps,
                                                   const std::optional<TargetVolume> &target);

} // namespace DetailColumnPresenter
