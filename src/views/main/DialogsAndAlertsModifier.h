#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>

class ContentModel;
class QWidget;

// The texts of the window's two confirmations and its one alert.
namespace DialogTexts {

[[nodiscard]] QString cleanDuplicatesTitle();
// The count in plain decimal, without grouping.
[[nodiscard]] QString cleanDuplicatesButton(int count);
[[nodiscard]] QString cleanDuplicatesMessage();
[[nodiscard]] QString cleanStagingTitle();
[[nodiscard]] QString cleanStagingButton();
[[nodiscard]] QString cleanStagingMessage();
[[nodiscard]] QString noticeTitle();

} // namespace DialogTexts

// Presents the model's confirmations and its "Notice" alert over `window` as window-modal
// message boxes while their flags are true, and sets the flags back when they close. The
// destructive button of a confirmation runs the model's cleanup; "Cancel" only closes.
class DialogsAndAlertsModifier final : public QObject
{
    Q_OBJECT

public:
    // Neither is owned; `window` is also the parent of this object.
    DialogsAndAlertsModifier(ContentModel &model, QWidget *window);

    // The open boxes, for tests; null while closed.
    [[nodiscard]] QMessageBox *cleanDuplicatesBox() const { return m_cleanDuplicatesBox; }
    [[nodiscard]] QMessageBox *cleanStagingBox() const { return m_cleanStagingBox; }
    [[nodiscard]] QMessageBox *noticeBox() const { return m_noticeBox; }

private:
    void applyCleanDuplicates();
    void applyCleanStaging();
    void applyNotice();

    ContentModel &m_model;
    QWidget *m_window;
    QPointer<QMessageBox> m_cleanDuplicatesBox;
    QPointer<QMessageBox> m_cleanStagingBox;
    QPointer<QMessageBox> m_noticeBox;
};
