#pragma once

#include <QDialog>
#include <QString>
#include <functional>

// The first-run safety sheet: three reminders (back up first, use a suitable drive format,
// always eject safely) and the one button that acknowledges them. Escape and the window's
// close button do nothing; only the button ends the sheet, through `onAcknowledge`, in
// which the window stores the acknowledgement and closes the sheet.
//
// Object names: "backupWarningSheet", "acknowledgeButton", "reminder".
class BackupWarningSheet final : public QDialog
{
    Q_OBJECT
public:
    static inline const QString title = QStringLiteral("Before You Start Offloading");
    static inline const QString subtitle =
        QStringLiteral("Important safety & backup reminders for your first run");
    static inline const QString buttonTitle = QStringLiteral("I Understand \u2014 Continue");

    struct Reminder
    {
        QString markdown;
        QString symbol;
    };
    // The three reminders in order; their colours are orange, blue and green.
    [[nodiscard]] static QList<Reminder> reminders();

    BackupWarningSheet(std::function<void()> onAcknowledge, QWidget *parent = nullptr);

    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    std::function<void()> m_onAcknowledge;
};
