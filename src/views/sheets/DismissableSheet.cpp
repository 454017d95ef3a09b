#include "views/sheets/DismissableSheet.h"

#include <QCloseEvent>
#include <QPointer>

DismissableSheet::DismissableSheet(std::function<void()> onDismiss, QWidget *parent)
    : QDialog(parent)
    , m_onDismiss(std::move(onDismiss))
{
    setWindowFlag(Qt::Sheet);
    setWindowModality(Qt::WindowModal);
}

void DismissableSheet::dismiss()
{
    if (!m_onDismiss) {
        QDialog::reject();
        return;
    }
    // The owner closes the sheet from inside the callback, perhaps through close() or
    // reject(), which must then go through; it may also delete it.
    const QPointer<DismissableSheet> self(this);
    m_dismissing = true;
    m_onDismiss();
    if (self)
        m_dismissing = false;
}

void DismissableSheet::reject()
{
    if (m_dismissing)
        QDialog::reject();
    else if (canDismiss())
        dismiss();
}

void DismissableSheet::closeEvent(QCloseEvent *event)
{
    if (m_dismissing) {
        QDialog::closeEvent(event);
        return;
    }
    event->ignore();
    if (canDismiss())
        dismiss();
}
