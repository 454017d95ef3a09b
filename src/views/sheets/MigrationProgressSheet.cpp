#include "views/sheets/MigrationProgressSheet.h"

#include "transfer/OffloadEngine.h"

MigrationProgressSheet::MigrationProgressSheet(OffloadEngine *offloadEngine,
                                               std::function<void()> onDismiss, QWidget *parent)
    : ProgressSheet(std::move(onDismiss), parent)
    , m_engine(offloadEngine)
{
    setObjectName(QStringLiteral("migrationProgressSheet"));
    if (offloadEngine) {
        connect(offloadEngine, &OffloadEngine::progressChanged, this,
                &MigrationProgressSheet::refresh);
        connect(offloadEngine, &OffloadEngine::isCancellingChanged, this,
                &MigrationProgressSheet::refresh);
    }
    refresh();
}

ProgressSheetModel MigrationProgressSheet::present() const
{
    if (!m_engine)
        return MigrationProgressPresenter::present({}, false, taskReport());
    return MigrationProgressPresenter::present(m_engine->progress(), m_engine->isCancelling(),
                                               taskReport());
}

void MigrationProgressSheet::cancelRequested()
{
    if (m_engine)
        m_engine->cancelCurrentOperation();
}
