#include "views/sheets/RestoreProgressSheet.h"

#include "platform/System.h"
#include "transfer/RestoreEngine.h"

RestoreProgressSheet::RestoreProgressSheet(RestoreEngine *restoreEngine,
                                           std::function<void()> onDismiss, QWidget *parent)
    : ProgressSheet(std::move(onDismiss), parent)
    , m_engine(restoreEngine)
{
    setObjectName(QStringLiteral("restoreProgressSheet"));
    if (restoreEngine) {
        for (auto signal :
             {&RestoreEngine::currentStepChanged, &RestoreEngine::progressPercentChanged,
              &RestoreEngine::isCompleteChanged, &RestoreEngine::errorChanged,
              &RestoreEngine::preservedBackupPathsChanged, &RestoreEngine::isCancellingChanged})
            connect(restoreEngine, signal, this, &RestoreProgressSheet::refresh);
    }
    refresh();
}

ProgressSheetModel RestoreProgressSheet::present() const
{
    if (!m_engine)
        return RestoreProgressPresenter::present({}, taskReport());
    return RestoreProgressPresenter::present(
        {m_engine->currentStep(), m_engine->progressPercent(), m_engine->isComplete(),
         m_engine->error(), m_engine->preservedBackupPaths(), m_engine->isCancelling()},
        taskReport());
}

void RestoreProgressSheet::cancelRequested()
{
    if (m_engine)
        m_engine->cancelCurrentOperation();
}

void RestoreProgressSheet::revealPreservedRequested()
{
    // The list as it stands at the click, all folders in one request.
    if (m_engine && !m_engine->preservedBackupPaths().isEmpty())
        System::current().workspace().reveal(m_engine->preservedBackupPaths());
}
