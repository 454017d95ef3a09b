#pragma once

#include "model/AppItem.h"
#include "model/TargetVolume.h"

#include <QColor>
#include <QList>
#include <QString>
#include <optional>

// What the inspector learns from the disk about one selected application.
struct BatchItemFacts
{
    AppOffloadStatus status = AppOffloadStatus::local;
    bool isProxyBundle = false;

    [[nodiscard]] static BatchItemFacts read(const AppItem &app);
    [[nodiscard]] static QList<BatchItemFacts> read(const QList<AppItem> &apps);
};

// Everything the batch inspector shows.
struct BatchInspectorModel
{
    struct Chip
    {
        QString label;
        qsizetype count = 0;
        QColor color;
    };
    struct Row
    {
        QString id;
        QString name;
        QString statusLabel;
        QColor statusColor;
        QString sizeText;
    };
    struct OffloadBlock
    {
        QString offloadText;
        bool enabled = false;
        QString destination;
        QColor destinationColor;
    };

    QString title;
    QString totalSpace;
    QList<Chip> chips;
    QList<Row> rows;
    std::optional<QString> restoreButton;
    std::optional<OffloadBlock> offload;
    std::optional<QString> makeVisibleButton;
    std::optional<QString> promoteButton;
    std::optional<QString> cleanAliasesButton;
};

// The classification and texts of a multiple selection. Every list keeps the order of the
// selection; `facts` runs parallel to `apps`.
class BatchInspectorPresenter final
{
public:
    // Neither linked nor protected: copied, out-of-sync, replaced and running ones included.
    [[nodiscard]] static QList<AppItem> localApps(const QList<AppItem> &apps,
                                                  const QList<BatchItemFacts> &facts);
    // Links, aliases and proxy bundles, whatever their status.
    [[nodiscard]] static QList<AppItem> offloadedApps(const QList<AppItem> &apps,
                                                      const QList<BatchItemFacts> &facts);
    // Not directly in /Applications (~/Applications and every subfolder count).
    [[nodiscard]] static QList<AppItem> nestedApps(const QList<AppItem> &apps);
    // Alias paths, not applications.
    [[nodiscard]] static qsizetype redundantAliasCount(const QList<AppItem> &apps);

    [[nodiscard]] static BatchInspectorModel present(const QList<AppItem> &apps,
                                                     const QList<BatchItemFacts> &facts,
                                                     const std::optional<TargetVolume> &target);
};
