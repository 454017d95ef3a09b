#include "views/main/BackupWarningSheet.h"

#include "views/kit/Controls.h"
#include "views/kit/Palette.h"
#include "views/kit/TextStyles.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Controls;

QList<BackupWarningSheet::Reminder> BackupWarningSheet::reminders()
{
    return {
        {tr("**Back Up First:** Always keep a current backup (such as Time Machine) of your Mac "
            "and external drive before moving applications or support folders."),
         QStringLiteral("clock.arrow.circlepath")},
        {tr("**Use APFS or Mac OS Extended:** Format your target external drive as APFS "
            "(recommended) or Mac OS Extended (HFS+). ExFAT/FAT32 drives are not compatible with "
            "macOS app bundles."),
         QStringLiteral("externaldrive.fill")},
        {tr("**Always Safe Eject:** Quit any running offloaded apps and use Safe Eject in the "
            "toolbar before unplugging your external drive."),
         QStringLiteral("eject.circle.fill")},
    };
}

BackupWarningSheet::BackupWarningSheet(std::function<void()> onAcknowledge, QWidget *parent)
    : QDialog(parent, Qt::Sheet)
    , m_onAcknowledge(std::move(onAcknowledge))
{
    setObjectName(QStringLiteral("backupWarningSheet"));
    setWindowModality(Qt::WindowModal);
    setWindowTitle(title);
    setFixedSize(500, 360);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(18);

    auto *header = new QHBoxLayout;
    header->setSpacing(12);
    header->addWidget(symbol(QStringLiteral("externaldrive.badge.checkmark"), 34, accent(), this),
                      0, Qt::AlignVCenter);
    auto *titles = new QVBoxLayout;
    titles->setSpacing(2);
    QFont titleFont = TextStyles::title2();
    titleFont.setBold(true);
    titles->addWidget(text(title, titleFont, {}, false, Qt::AlignLeft | Qt::AlignVCenter, this));
    titles->addWidget(text(subtitle, TextStyles::caption(), Palette::secondaryText(), false,
                           Qt::AlignLeft | Qt::AlignVCenter, this));
    header->addLayout(titles, 1);
    layout->addLayout(header);
    layout->addWidget(divider(this));

    auto *list = new QVBoxLayout;
    list->setSpacing(12);
    const QList<QColor> colors{Palette::orange(), Palette::blue(), Palette::green()};
    const QList<Reminder> items = reminders();
    for (int i = 0; i < items.size(); ++i) {
        auto *row = new QHBoxLayout;
        row->setSpacing(10);
        row->addWidget(symbol(items[i].symbol, 18, colors[i], this), 0, Qt::AlignTop);
        auto *label = new QLabel(this);
        label->setObjectName(QStringLiteral("reminder"));
        label->setTextFormat(Qt::MarkdownText);
        label->setText(items[i].markdown);
        label->setWordWrap(true);
        label->setFont(TextStyles::callout());
        row->addWidget(label, 1);
        list->addLayout(row);
    }
    layout->addLayout(list);
    layout->addStretch(1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    QPushButton *acknowledge = button(buttonTitle, QStringLiteral("acknowledgeButton"),
                                      ButtonLook::prominent, ControlSize::regular, {}, {}, this);
    connect(acknowledge, &QPushButton::clicked, this, [this] {
        if (m_onAcknowledge)
            m_onAcknowledge();
    });
    buttons->addWidget(acknowledge);
    layout->addLayout(buttons);
}

void BackupWarningSheet::reject()
{
    // Escape: the reminders stay until they are acknowledged.
}

void BackupWarningSheet::closeEvent(QCloseEvent *event)
{
    // The window's close button is not an acknowledgement. A close the program asks for
    // (quitting) goes through, leaving the flag unset for the next launch.
    if (event->spontaneous())
        event->ignore();
    else
        QDialog::closeEvent(event);
}
