#pragma once

#include "model/DuplicateLocalInstance.h"
#include "services/DuplicateCleanup.h"

#include <QList>
#include <QString>
#include <optional>

// One redundant local copy as the sheet draws it.
struct DuplicateRow
{
    QString id; // the local copy's path
    QString name;
    QString versionText; // "v1.2"; empty: none
    QString sizeText;    // the formatter's own text, also for 0
    QString localPathText;
    QString primaryPathText;
    QString primaryVersionText; // "(v2.0)", the drive copy's version first; empty: none
    bool isRunning = false;
    QString runningWarning; // empty unless running
};

// The decisions of the redundant-local-copies sheet.
class DuplicateInstancesPresenter
{
public:
    [[nodiscard]] static DuplicateRow row(const DuplicateLocalInstance &instance);
    // A row's "Move to Trash": not for a running copy, nor while an operation runs.
    [[nodiscard]] static bool canTrash(const DuplicateRow &row, bool isWorking)
    {
        return !row.isRunning && !isWorking;
    }
    [[nodiscard]] static bool canTrashAll(const QList<DuplicateLocalInstance> &instances,
                                          bool isWorking)
    {
        return !instances.isEmpty() && !isWorking;
    }
    // The local copies' sizes; those of the offloaded applications do not count.
    [[nodiscard]] static qint64 reclaimableBytes(const QList<DuplicateLocalInstance> &instances);
    [[nodiscard]] static QString totalText(const QList<DuplicateLocalInstance> &instances);
    // What the message box says after an operation; nothing when nothing moved or failed.
    [[nodiscard]] static std::optional<QString> statusMessage(const TrashResult &result);
};
