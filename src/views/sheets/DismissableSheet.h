#pragma once

#include <QDialog>
#include <functional>

// A window-modal sheet that its owner closes: the sheet's own buttons, Escape and the
// window's close button all come to `onDismiss`, in which the owner hides or deletes the
// sheet. Without an `onDismiss` the sheet simply closes.
class DismissableSheet : public QDialog
{
    Q_OBJECT
public:
    void reject() override;

protected:
    DismissableSheet(std::function<void()> onDismiss, QWidget *parent);

    void dismiss();
    // Whether Escape and the close button may end the sheet now.
    [[nodiscard]] virtual bool canDismiss() const { return true; }

    void closeEvent(QCloseEvent *event) override;

private:
    std::function<void()> m_onDismiss;
    bool m_dismissing = false;
};
