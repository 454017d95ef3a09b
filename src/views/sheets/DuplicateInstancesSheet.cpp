#include "views/sheets/DuplicateInstancesSheet.h"

#include "platform/System.h"
#include "services/AppScanner.h"
#include "views/kit/Controls.h"
#include "views/kit/Palette.h"
#include "views/kit/RoundedPanel.h"
#include "views/kit/SelectableLabel.h"
#include "views/kit/TextStyles.h"
#include "views/sheets/DuplicateInstancesPresenter.h"

#include <QCoroFuture>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

using namespace Controls;

namespace {

SelectableLabel *pathLabel(const QString &content, const QColor &color)
{
    auto *label = new SelectableLabel;
    QFont font = TextStyles::monospaced();
    font.setPointSize(TextStyles::caption2().pointSize());
    label->setFont(font);
    setTextColor(label, color);
    label->setElideMode(Qt::ElideMiddle);
    label->setFullText(content);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return label;
}

} // namespace

DuplicateInstancesSheet::DuplicateInstancesSheet(AppScanner *appScanner,
                                                 std::function<void()> onDismiss, QWidget *parent)
    : DismissableSheet(std::move(onDismiss), parent)
    , m_scanner(appScanner)
{
    setObjectName(QStringLiteral("duplicateInstancesSheet"));
    setFixedSize(640, 460);
    build();
    if (appScanner)
        connect(appScanner, &AppScanner::duplicateLocalInstancesChanged, this,
                &DuplicateInstancesSheet::refresh);
    refresh();
}

void DuplicateInstancesSheet::build()
{
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(20, 20, 20, 20);
    root->setSpacing(14);

    auto *header = new QHBoxLayout;
    auto *titles = new QVBoxLayout;
    titles->setSpacing(2);
    QFont titleFont = TextStyles::title3();
    titleFont.setBold(true);
    titles->addWidget(text(QStringLiteral("Redundant Local App Copies"), titleFont));
    titles->addWidget(text(QStringLiteral("These local app bundles match an app that is already "
                                          "offloaded. Moving them to Trash frees internal storage "
                                          "while keeping them recoverable."),
                           TextStyles::caption(), Palette::secondaryText(), true));
    header->addLayout(titles, 1);
    auto *close =
        button(QStringLiteral("Close"), QStringLiteral("closeButton"), ButtonLook::bordered);
    connect(close, &QPushButton::clicked, this, &DuplicateInstancesSheet::dismiss);
    header->addWidget(close, 0, Qt::AlignTop);
    root->addLayout(header);

    m_messageBox = new RoundedPanel(Palette::withOpacity(Palette::orange(), 0.10), this, 6, 8);
    m_messageText = text({}, TextStyles::caption(), Palette::orange(), true);
    m_messageText->setObjectName(QStringLiteral("statusMessage"));
    m_messageText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_messageBox->contentLayout()->addWidget(m_messageText);
    root->addWidget(m_messageBox);

    m_body = new QStackedWidget(this);
    m_list = new QListWidget(m_body);
    m_list->setObjectName(QStringLiteral("duplicateList"));
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setFocusPolicy(Qt::NoFocus);
    m_body->addWidget(m_list);
    m_emptyState = new QWidget(m_body);
    auto *empty = new QVBoxLayout(m_emptyState);
    empty->setSpacing(8);
    empty->addStretch();
    empty->addWidget(symbol(QStringLiteral("checkmark.circle.fill"), 32, Palette::green()), 0,
                     Qt::AlignHCenter);
    empty->addWidget(text(QStringLiteral("No redundant local copies remaining."),
                          TextStyles::headline(), {}, false, Qt::AlignCenter));
    empty->addStretch();
    m_body->addWidget(m_emptyState);
    root->addWidget(m_body, 1);

    auto *footer = new QHBoxLayout;
    m_total = text({}, withWeight(TextStyles::caption(), QFont::Medium), Palette::secondaryText());
    m_total->setObjectName(QStringLiteral("totalLabel"));
    footer->addWidget(m_total);
    footer->addStretch();
    m_spinner = new ActivitySpinner(16, this);
    footer->addWidget(m_spinner);
    m_moveAll = button(QStringLiteral("Move All to Trash"), QStringLiteral("moveAllToTrashButton"),
                       ButtonLook::prominent, ControlSize::regular, Palette::red());
    connect(m_moveAll, &QPushButton::clicked, this, [this] {
        // The whole list as it stands at the click, running copies included.
        if (m_scanner)
            trash(m_scanner->duplicateLocalInstances());
    });
    footer->addWidget(m_moveAll);
    root->addLayout(footer);
}

void DuplicateInstancesSheet::refresh()
{
    const QList<DuplicateLocalInstance> instances =
        m_scanner ? m_scanner->duplicateLocalInstances() : QList<DuplicateLocalInstance>{};
    m_messageBox->setVisible(m_statusMessage.has_value());
    m_messageText->setText(m_statusMessage.value_or(QString()));

    m_list->clear();
    for (const DuplicateLocalInstance &instance : instances) {
        const DuplicateRow row = DuplicateInstancesPresenter::row(instance);
        auto *widget = new QWidget;
        widget->setObjectName(QStringLiteral("duplicateRow:") + row.id);
        auto *lines = new QVBoxLayout(widget);
        lines->setContentsMargins(8, 4, 8, 4);
        lines->setSpacing(6);

        auto *first = new QHBoxLayout;
        first->addWidget(text(row.name, TextStyles::headline()));
        if (!row.versionText.isEmpty())
            first->addWidget(
                text(row.versionText, TextStyles::caption(), Palette::secondaryText()));
        first->addStretch();
        QFont sizeFont = withWeight(TextStyles::subheadline(), QFont::DemiBold);
        sizeFont.setFamilies(TextStyles::monospaced().families());
        auto *size = text(row.sizeText, sizeFont);
        size->setObjectName(QStringLiteral("sizeLabel"));
        first->addWidget(size);
        lines->addLayout(first);

        lines->addWidget(pathLabel(row.localPathText, Palette::secondaryText()));
        auto *primary = new QHBoxLayout;
        primary->setSpacing(4);
        primary->addWidget(pathLabel(row.primaryPathText, Palette::blue()), 1);
        if (!row.primaryVersionText.isEmpty())
            primary->addWidget(
                text(row.primaryVersionText, TextStyles::caption2(), Palette::blue()));
        lines->addLayout(primary);

        auto *actions = new QHBoxLayout;
        if (row.isRunning) {
            auto *warning = text(row.runningWarning, TextStyles::caption2(), Palette::orange());
            warning->setObjectName(QStringLiteral("runningWarning"));
            actions->addWidget(warning);
        }
        actions->addStretch();
        auto *reveal = button(QStringLiteral("Reveal"), QStringLiteral("revealButton"),
                              ButtonLook::bordered, ControlSize::small);
        connect(reveal, &QPushButton::clicked, this, [path = instance.localApp.url.toLocalFile()] {
            System::current().workspace().reveal({path});
        });
        actions->addWidget(reveal);
        auto *moveToTrash =
            button(QStringLiteral("Move to Trash"), QStringLiteral("moveToTrashButton"),
                   ButtonLook::prominent, ControlSize::small, Palette::red());
        moveToTrash->setEnabled(DuplicateInstancesPresenter::canTrash(row, m_isWorking));
        connect(moveToTrash, &QPushButton::clicked, this, [this, instance] { trash({instance}); });
        actions->addWidget(moveToTrash);
        lines->addLayout(actions);

        auto *item = new QListWidgetItem(m_list);
        item->setSizeHint(widget->sizeHint());
        m_list->setItemWidget(item, widget);
    }
    m_body->setCurrentWidget(instances.isEmpty() ? m_emptyState : m_list);
    m_total->setText(DuplicateInstancesPresenter::totalText(instances));
    m_spinner->setVisible(m_isWorking);
    m_moveAll->setEnabled(DuplicateInstancesPresenter::canTrashAll(instances, m_isWorking));
}

QCoro::Task<> DuplicateInstancesSheet::trash(QList<DuplicateLocalInstance> instances)
{
    if (!m_scanner)
        co_return;
    m_isWorking = true;
    m_statusMessage.reset();
    refresh();
    const QPointer<DuplicateInstancesSheet> self(this);
    // The scanner finishes and rescans even when the sheet has closed meanwhile.
    const QFuture<TrashResult> operation = m_scanner->trashDuplicateLocalInstances(instances);
    const TrashResult result = co_await operation;
    if (!self)
        co_return;
    m_isWorking = false;
    m_statusMessage = DuplicateInstancesPresenter::statusMessage(result);
    refresh();
    emit trashFinished();
}
