#pragma once

#include "views/sheets/ProgressSheet.h"

#include <QPointer>

class OffloadEngine;

// The sheet over a running offload, backup copy, backup update or re-offload: the
// application, the engine's step, the bar and the percent, Cancel while it runs, and
// success or failure at the end. It reads only the engine's published state and what the
// window tells through setTaskReport().
class MigrationProgressSheet final : public ProgressSheet
{
    Q_OBJECT
public:
    // `offloadEngine` is the window's (not owned); `onDismiss` is called by Done and Close
    // (and by Escape or the close button once the task has ended), and the window closes the
    // sheet in it.
    MigrationProgressSheet(OffloadEngine *offloadEngine, std::function<void()> onDismiss,
                           QWidget *parent = nullptr);

protected:
    [[nodiscard]] ProgressSheetModel present() const override;
    void cancelRequested() override;

private:
    QPointer<OffloadEngine> m_engine;
};
