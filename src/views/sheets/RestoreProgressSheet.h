#pragma once

#include "views/sheets/ProgressSheet.h"

#include <QPointer>

class RestoreEngine;

// The sheet over a restore batch: the engine's step, the bar and the percent, Cancel while
// it runs, success or failure at the end, and then the local support folders the restore
// set aside, which "Reveal Preserved Backups in Finder" shows in the file manager.
class RestoreProgressSheet final : public ProgressSheet
{
    Q_OBJECT
public:
    // `restoreEngine` is the window's (not owned); `onDismiss` as for the offload sheet.
    RestoreProgressSheet(RestoreEngine *restoreEngine, std::function<void()> onDismiss,
                         QWidget *parent = nullptr);

protected:
    [[nodiscard]] ProgressSheetModel present() const override;
    void cancelRequested() override;
    void revealPreservedRequested() override;

private:
    QPointer<RestoreEngine> m_engine;
};
