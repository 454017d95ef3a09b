#include "views/main/DialogsAndAlertsModifier.h"

#include "services/AppScanner.h"
#include "views/kit/Controls.h"
#include "views/main/ContentModel.h"

#include <QMessageBox>
#include <QPushButton>

namespace DialogTexts {

QString cleanDuplicatesTitle()
{
    return QObject::tr("Resolve Duplicate Aliases");
}

QString cleanDuplicatesButton(int count)
{
    return QObject::tr("Clean All %1 Duplicates").arg(count);
}

QString cleanDuplicatesMessage()
{
    return QObject::tr("This will safely remove all redundant duplicate alias files (e.g. legacy "
                       "volume-tagged copies and nested folder duplicates). Each offloaded "
                       "application will retain its primary, clean Finder alias.");
}

QString cleanStagingTitle()
{
    return QObject::tr("Clean Up Staging & Rollback Items");
}

QString cleanStagingButton()
{
    return QObject::tr("Clean Up Safe Items");
}

QString cleanStagingMessage()
{
    return QObject::tr("This removes leftover temporary staging folders. Any rollback recovery "
                       "copy whose original app is missing will be automatically preserved.");
}

QString noticeTitle()
{
    return QObject::tr("Notice");
}

} // namespace DialogTexts

namespace {

// A window-modal box that deletes itself when closed.
QMessageBox *makeBox(QWidget *window, const QString &objectName, const QString &title,
                     const QString &text)
{
    auto *box = new QMessageBox(window);
    box->setObjectName(objectName);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setWindowTitle(title);
    box->setText(title);
    box->setInformativeText(text);
    return box;
}

QPushButton *addCancel(QMessageBox *box)
{
    QPushButton *cancel = box->addButton(QObject::tr("Cancel"), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    return cancel;
}

} // namespace

DialogsAndAlertsModifier::DialogsAndAlertsModifier(ContentModel &model, QWidget *window)
    : QObject(window)
    , m_model(model)
    , m_window(window)
{
    connect(&model, &ContentModel::showingCleanDuplicatesConfirmChanged, this,
            &DialogsAndAlertsModifier::applyCleanDuplicates);
    connect(&model, &ContentModel::showingCleanStagingConfirmChanged, this,
            &DialogsAndAlertsModifier::applyCleanStaging);
    connect(&model, &ContentModel::showAlertChanged, this, &DialogsAndAlertsModifier::applyNotice);
}

void DialogsAndAlertsModifier::applyCleanDuplicates()
{
    if (!m_model.showingCleanDuplicatesConfirm()) {
        if (m_cleanDuplicatesBox)
            m_cleanDuplicatesBox->close();
        return;
    }
    if (m_cleanDuplicatesBox)
        return;
    QMessageBox *box =
        makeBox(m_window, QStringLiteral("cleanDuplicatesConfirm"),
                DialogTexts::cleanDuplicatesTitle(), DialogTexts::cleanDuplicatesMessage());
    QPushButton *clean = box->addButton(Controls::literalText(DialogTexts::cleanDuplicatesButton(
                                            m_model.appScanner().totalDuplicateAliasesCount())),
                                        QMessageBox::DestructiveRole);
    clean->setObjectName(QStringLiteral("cleanDuplicatesButton"));
    addCancel(box);
    connect(box, &QMessageBox::finished, this, [this, box, clean] {
        const bool confirmed = box->clickedButton() == clean;
        m_cleanDuplicatesBox = nullptr;
        m_model.setShowingCleanDuplicatesConfirm(false);
        if (confirmed)
            m_model.handleCleanDuplicates();
    });
    m_cleanDuplicatesBox = box;
    box->open();
}

void DialogsAndAlertsModifier::applyCleanStaging()
{
    if (!m_model.showingCleanStagingConfirm()) {
        if (m_cleanStagingBox)
            m_cleanStagingBox->close();
        return;
    }
    if (m_cleanStagingBox)
        return;
    QMessageBox *box =
        makeBox(m_window, QStringLiteral("cleanStagingConfirm"), DialogTexts::cleanStagingTitle(),
                DialogTexts::cleanStagingMessage());
    QPushButton *clean = box->addButton(Controls::literalText(DialogTexts::cleanStagingButton()),
                                        QMessageBox::DestructiveRole);
    clean->setObjectName(QStringLiteral("cleanStagingButton"));
    addCancel(box);
    connect(box, &QMessageBox::finished, this, [this, box, clean] {
        const bool confirmed = box->clickedButton() == clean;
        m_cleanStagingBox = nullptr;
        m_model.setShowingCleanStagingConfirm(false);
        if (confirmed)
            m_model.handleCleanStaging();
    });
    m_cleanStagingBox = box;
    box->open();
}

void DialogsAndAlertsModifier::applyNotice()
{
    if (!m_model.showAlert()) {
        if (m_noticeBox)
            m_noticeBox->close();
        return;
    }
    // Shown verbatim: the message is not a key to translate.
    const QString message = m_model.alertMessage().value_or(QString());
    if (m_noticeBox) {
        m_noticeBox->setText(message);
        return;
    }
    auto *box = new QMessageBox(m_window);
    box->setObjectName(QStringLiteral("noticeAlert"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setWindowTitle(DialogTexts::noticeTitle());
    box->setText(message);
    QPushButton *ok = box->addButton(tr("OK"), QMessageBox::RejectRole);
    ok->setObjectName(QStringLiteral("okButton"));
    box->setEscapeButton(ok);
    connect(box, &QMessageBox::finished, this, [this] {
        m_noticeBox = nullptr;
        m_model.setShowAlert(false);
    });
    m_noticeBox = box;
    box->open();
}
