#include "views/sheets/HistoryView.h"

#include "base/AbandonableWork.h"
#include "base/OperationError.h"
#include "services/LedgerService.h"
#include "services/RecordRule.h"
#include "views/kit/Controls.h"
#include "views/kit/FlowLayout.h"
#include "views/kit/Palette.h"
#include "views/kit/Pill.h"
#include "views/kit/SelectableLabel.h"
#include "views/kit/Symbols.h"
#include "views/kit/TextStyles.h"
#include "views/sheets/HistoryPresenter.h"
#include "views/sheets/LogViewerSheet.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

using namespace Controls;

namespace {

QPushButton *segment(const QString &label, const QString &objectName, QButtonGroup *group)
{
    auto *result = new QPushButton(literalText(label));
    result->setObjectName(objectName);
    result->setCheckable(true);
    result->setAutoDefault(false);
    result->setFont(TextStyles::caption());
    const QString on = Palette::css(accent());
    result->setStyleSheet(
        QStringLiteral("QPushButton { border: 1px solid %1; padding: 2px 8px; background: "
                       "palette(button); }"
                       "QPushButton:checked { background: %2; color: white; border-color: %2; }")
            .arg(Palette::css(Palette::separator()), on));
    group->addButton(result);
    return result;
}

QWidget *recordRow(const HistoryRow &row, const std::optional<QString> &refusal,
                   const std::function<void(const QString &id)> &onDelete)
{
    auto *widget = new QWidget;
    widget->setObjectName(QStringLiteral("historyRow:") + row.id);
    auto *lines = new QVBoxLayout(widget);
    lines->setContentsMargins(8, 6, 8, 6);
    lines->setSpacing(6);

    auto *first = new QHBoxLayout;
    first->addWidget(text(row.appName, systemFont(13, QFont::DemiBold)));
    if (!row.versionText.isEmpty())
        first->addWidget(text(row.versionText, TextStyles::caption(), Palette::secondaryText()));
    first->addStretch();
    Pill::Style style = Pill::tinted(row.badgeColor, 0.15);
    style.pointSize = points(9);
    style.bold = true;
    auto *badge = new Pill(row.badgeText, style);
    badge->setObjectName(QStringLiteral("statusBadge"));
    first->addWidget(badge);
    lines->addLayout(first);

    const auto pathLine = [&](const QString &content, const QString &name) {
        auto *label = new SelectableLabel(content);
        label->setObjectName(name);
        label->setFont(TextStyles::caption2());
        label->setWordWrap(true);
        setTextColor(label, Palette::secondaryText());
        lines->addWidget(label);
    };
    pathLine(row.fromText, QStringLiteral("fromLabel"));
    if (row.toText)
        pathLine(*row.toText, QStringLiteral("toLabel"));
    if (refusal) {
        pathLine(HistoryPresenter::refusalText(*refusal), QStringLiteral("refusedLabel"));
        setTextColor(lines->itemAt(lines->count() - 1)->widget(), Palette::red());
    }

    auto *footer = new QHBoxLayout;
    footer->addWidget(text(row.timestamp, systemFont(10), Palette::secondaryText()));
    footer->addStretch();
    if (!row.folderCountText.isEmpty()) {
        auto *folders = text(row.folderCountText, systemFont(10), Palette::secondaryText());
        folders->setObjectName(QStringLiteral("folderCountLabel"));
        footer->addWidget(folders);
    }
    lines->addLayout(footer);

    // The one context-menu item.
    auto *remove = new QAction(QStringLiteral("Delete Entry"), widget);
    remove->setObjectName(QStringLiteral("deleteEntryAction"));
    QObject::connect(remove, &QAction::triggered, widget,
                     [onDelete, id = row.id] { onDelete(id); });
    widget->addAction(remove);
    widget->setContextMenuPolicy(Qt::ActionsContextMenu);
    return widget;
}

// Of `entries`, how many a drive's own ledger lists (as the last load found), and which drives.
std::pair<int, QStringList> keptByDrives(const LedgerService *ledger,
                                         const QList<MigrationRecord> &entries)
{
    int kept = 0;
    QStringList drives;
    if (!ledger)
        return {kept, drives};
    for (const MigrationRecord &entry : entries) {
        const QStringList listing = ledger->drivesListing(entry);
        if (listing.isEmpty())
            continue;
        ++kept;
        for (const QString &drive : listing) {
            if (!drives.contains(drive))
                drives.append(drive);
        }
    }
    return {kept, drives};
}

} // namespace

HistoryView::HistoryView(LedgerService *ledgerService, QWidget *parent)
    : QWidget(parent)
    , m_ledger(ledgerService)
{
    setObjectName(QStringLiteral("historyView"));
    build();
    if (ledgerService)
        connect(ledgerService, &LedgerService::recordsChanged, this, &HistoryView::refresh);
    refresh();
}

// What still runs is abandoned: it holds nothing of the view, and its outcome is no longer told.
HistoryView::~HistoryView() = default;

void HistoryView::build()
{
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(20, 20, 20, 20);
    root->setSpacing(16);

    FlowLayout *header = pageHeader(QStringLiteral("Migration History"), m_countLabel);

    // In a narrow column the controls wrap under one another rather than overlap.
    auto *toolbarWidget = new QWidget(this);
    auto *toolbar = new FlowLayout(toolbarWidget, 8, 8);
    toolbar->setContentsMargins(0, 0, 0, 0);
    auto *picker = new QWidget(this);
    picker->setObjectName(QStringLiteral("viewPicker"));
    picker->setToolTip(QStringLiteral("View"));
    picker->setFixedWidth(160);
    auto *segments = new QHBoxLayout(picker);
    segments->setContentsMargins(0, 0, 0, 0);
    segments->setSpacing(0);
    auto *group = new QButtonGroup(picker);
    m_realSegment = segment(QStringLiteral("Real Apps"), QStringLiteral("realAppsSegment"), group);
    m_allSegment = segment({}, QStringLiteral("allSegment"), group);
    segments->addWidget(m_realSegment, 1);
    segments->addWidget(m_allSegment, 1);
    connect(m_realSegment, &QPushButton::clicked, this, [this] { setHideTestRecords(true); });
    connect(m_allSegment, &QPushButton::clicked, this, [this] { setHideTestRecords(false); });
    toolbar->addWidget(picker);

    m_purgeButton =
        button({}, QStringLiteral("purgeTestsButton"), ButtonLook::bordered, ControlSize::small);
    m_purgeButton->setIcon(Symbols::icon(QStringLiteral("trash")));
    connect(m_purgeButton, &QPushButton::clicked, this, &HistoryView::showPurgeConfirm);
    toolbar->addWidget(m_purgeButton);
    auto *logs = button(QStringLiteral("View Logs"), QStringLiteral("viewLogsButton"),
                        ButtonLook::bordered, ControlSize::small);
    logs->setIcon(Symbols::icon(QStringLiteral("doc.text.magnifyingglass")));
    connect(logs, &QPushButton::clicked, this, &HistoryView::showLogViewer);
    toolbar->addWidget(logs);
    auto *reload =
        button({}, QStringLiteral("refreshButton"), ButtonLook::bordered, ControlSize::small);
    reload->setIcon(Symbols::icon(QStringLiteral("arrow.clockwise")));
    reload->setToolTip(QStringLiteral("Refresh"));
    connect(reload, &QPushButton::clicked, this, [this] {
        runLedgerOperation(
            [](LedgerService &ledger) {
                ledger.loadRecords();
                return QString();
            },
            QStringLiteral("Waiting to read the migration history…"),
            QStringLiteral("The list was not reloaded."));
    });
    toolbar->addWidget(reload);

    m_moreButton = new QToolButton(this);
    m_moreButton->setObjectName(QStringLiteral("moreMenuButton"));
    m_moreButton->setIcon(Symbols::icon(QStringLiteral("ellipsis.circle")));
    m_moreButton->setAutoRaise(true);
    m_moreButton->setPopupMode(QToolButton::InstantPopup);
    m_moreButton->setStyleSheet(
        QStringLiteral("QToolButton::menu-indicator { image: none; width: 0px; }"));
    auto *menu = new QMenu(m_moreButton);
    m_purgeAction = menu->addAction(QString());
    m_purgeAction->setObjectName(QStringLiteral("purgeMenuAction"));
    connect(m_purgeAction, &QAction::triggered, this, &HistoryView::purgeTestRecords);
    menu->addSeparator();
    auto *clear = menu->addAction(QStringLiteral("Clear Entire History…"));
    clear->setObjectName(QStringLiteral("clearHistoryAction"));
    connect(clear, &QAction::triggered, this, &HistoryView::showClearConfirm);
    m_moreButton->setMenu(menu);
    toolbar->addWidget(m_moreButton);
    header->addWidget(toolbarWidget);
    root->addWidget(header->parentWidget());

    m_pendingLabel = text({}, TextStyles::caption(), Palette::secondaryText());
    m_pendingLabel->setObjectName(QStringLiteral("pendingLabel"));
    m_pendingLabel->setWordWrap(true);
    m_pendingLabel->hide();
    root->addWidget(m_pendingLabel);

    m_outcomeLabel = text({}, TextStyles::caption(), Palette::secondaryText());
    m_outcomeLabel->setObjectName(QStringLiteral("historyOutcomeLabel"));
    m_outcomeLabel->setWordWrap(true);
    m_outcomeLabel->hide();
    root->addWidget(m_outcomeLabel);

    m_body = new QStackedWidget(this);
    m_list = new QListWidget(m_body);
    m_list->setObjectName(QStringLiteral("historyList"));
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setFocusPolicy(Qt::NoFocus);
    m_body->addWidget(m_list);

    m_emptyState = new QWidget(m_body);
    m_emptyState->setObjectName(QStringLiteral("emptyState"));
    auto *empty = new QVBoxLayout(m_emptyState);
    empty->setSpacing(12);
    empty->addStretch();
    auto *clock = symbol(QStringLiteral("clock.arrow.circlepath"), 44, Palette::secondaryText(),
                         m_emptyState);
    empty->addWidget(clock, 0, Qt::AlignHCenter);
    empty->addWidget(text(QStringLiteral("No Migration Records"), TextStyles::headline(), {}, false,
                          Qt::AlignCenter));
    addEmptyStateExplanation(empty,
                             QStringLiteral("Past offload and restore operations recorded in the "
                                            "local and drive ledgers will appear here."));
    empty->addStretch();
    m_body->addWidget(m_emptyState);
    root->addWidget(m_body, 1);
}

void HistoryView::refresh()
{
    const HistoryPresenter presenter(m_ledger ? m_ledger->records() : QList<MigrationRecord>{},
                                     m_hideTestRecords);
    m_countLabel->setText(presenter.headerCountText());
    setButtonText(m_allSegment, presenter.allSegmentText());
    m_realSegment->setChecked(m_hideTestRecords);
    m_allSegment->setChecked(!m_hideTestRecords);
    m_purgeButton->setVisible(presenter.showsPurgeButton());
    setButtonText(m_purgeButton, presenter.purgeButtonText());
    m_purgeAction->setText(literalText(presenter.purgeMenuText()));
    m_purgeAction->setEnabled(presenter.purgeMenuEnabled());
    m_visibleRecords = presenter.visibleRecords();
    rebuildRows(m_visibleRecords);
    markRefusedRecords(m_visibleRecords);
    m_body->setCurrentWidget(presenter.showsEmptyState() ? m_emptyState : m_list);
}

void HistoryView::rebuildRows(const QList<MigrationRecord> &records)
{
    m_list->clear();
    for (const MigrationRecord &record : records) {
        const HistoryRow shown = HistoryPresenter::row(record);
        const auto refusal = m_refusals.constFind(shown.id);
        QWidget *row = recordRow(
            shown, refusal == m_refusals.cend() ? std::nullopt : std::optional(*refusal),
            [this, name = record.appName](const QString &id) {
                // What is listed now under that id, and nothing recorded after.
                QList<MigrationRecord> entries =
                    m_ledger ? m_ledger->records() : QList<MigrationRecord>();
                entries.removeIf([&id](const MigrationRecord &entry) {
                    return HistoryPresenter::row(entry).id != id;
                });
                runLedgerOperation(
                    [entries, name](LedgerService &ledger) {
                        return HistoryPresenter::deleteOutcome(name,
                                                               ledger.removeFromHistory(entries));
                    },
                    QStringLiteral("Waiting to delete the entry of '") + name +
                        QStringLiteral("'…"),
                    QStringLiteral("The entry of '") + name + QStringLiteral("' was not deleted."));
            });
        auto *item = new QListWidgetItem(m_list);
        item->setSizeHint(row->sizeHint());
        m_list->setItemWidget(item, row);
    }
}

void HistoryView::markRefusedRecords(const QList<MigrationRecord> &records)
{
    const quint64 generation = ++m_rowsGeneration;
    const QPointer<HistoryView> self(this);
    // The rule resolves links, which a drive that stopped answering may hold for good: never
    // waited for, and its result dropped when the view or its rows are gone by then.
    (void)runAbandonable([self, generation, records] {
        QHash<QString, QString> reasons;
        for (const MigrationRecord &record : records) {
            const Verdict verdict = RecordRule::check(record);
            if (!verdict.ok)
                reasons.insert(HistoryPresenter::row(record).id,
                               verdict.reason.value_or(QString()));
        }
        QMetaObject::invokeMethod(
            qApp,
            [self, generation, reasons] {
                if (self && self->m_rowsGeneration == generation)
                    self->showRefusals(reasons);
            },
            Qt::QueuedConnection);
    });
}

void HistoryView::showRefusals(const QHash<QString, QString> &reasons)
{
    if (reasons == m_refusals)
        return;
    m_refusals = reasons;
    rebuildRows(m_visibleRecords);
}

void HistoryView::setHideTestRecords(bool hide)
{
    m_hideTestRecords = hide;
    refresh();
}

QList<MigrationRecord> HistoryView::listedTestRecords() const
{
    QList<MigrationRecord> tests = m_ledger ? m_ledger->records() : QList<MigrationRecord>();
    tests.removeIf(
        [](const MigrationRecord &record) { return !HistoryPresenter::isTestRecord(record); });
    return tests;
}

void HistoryView::purgeTestRecords()
{
    purgeListed(listedTestRecords());
}

void HistoryView::purgeListed(const QList<MigrationRecord> &entries)
{
    runLedgerOperation(
        [entries](LedgerService &ledger) {
            return HistoryPresenter::purgeOutcome(ledger.removeFromHistory(entries));
        },
        QStringLiteral("Waiting to purge the test records…"),
        QStringLiteral("No test record was removed."));
}

void HistoryView::runLedgerOperation(std::function<QString(LedgerService &)> operation,
                                     QString waiting, QString notDone)
{
    if (!m_ledger)
        return;
    LedgerService *ledger = m_ledger;
    QFuture<QString> running =
        runAbandonable([ledger, user = ledger->user(), operation = std::move(operation)] {
            return operation(*ledger);
        });
    m_pending.append(waiting);
    // Shown once it has lasted a moment: most operations end before anyone could read it.
    QTimer::singleShot(400, this, [this, running] {
        if (!running.isFinished())
            showPending();
    });
    // The new records come with the ledger's signal; only a failure is told here.
    running.then(this, [this, waiting, notDone](QFuture<QString> done) {
        m_pending.removeOne(waiting);
        showPending();
        try {
            const QString outcome = done.result();
            if (!outcome.isEmpty()) {
                m_outcomeLabel->setText(outcome);
                m_outcomeLabel->show();
            }
        } catch (...) {
            showFailure(notDone + QLatin1Char(' ') +
                        OperationError::messageOf(std::current_exception()));
        }
    });
}

void HistoryView::showPending()
{
    m_pendingLabel->setText(m_pending.isEmpty() ? QString() : m_pending.last());
    m_pendingLabel->setVisible(!m_pending.isEmpty());
}

void HistoryView::showFailure(const QString &message)
{
    if (m_failureAlert)
        m_failureAlert->close();
    m_failureAlert = new QMessageBox(QMessageBox::Warning,
                                     QStringLiteral("The Migration History Was Not Changed"),
                                     message, QMessageBox::Ok, this, Qt::Sheet);
    m_failureAlert->setObjectName(QStringLiteral("historyFailedAlert"));
    m_failureAlert->setAttribute(Qt::WA_DeleteOnClose);
    m_failureAlert->setWindowModality(Qt::WindowModal);
    m_failureAlert->open();
}

QMessageBox *HistoryView::confirmDialog(const QString &objectName, const QString &title,
                                        const QString &message, const QString &confirmText,
                                        std::function<void()> onConfirm)
{
    auto *dialog = new QMessageBox(QMessageBox::Warning, title, message, QMessageBox::NoButton,
                                   this, Qt::Sheet);
    dialog->setObjectName(objectName);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    // The title stays visible inside the sheet, as a sheet has no title bar on every desktop.
    dialog->setText(QStringLiteral("<b>") + title.toHtmlEscaped() + QStringLiteral("</b>"));
    dialog->setInformativeText(message.toHtmlEscaped());
    auto *confirm = dialog->addButton(literalText(confirmText), QMessageBox::DestructiveRole);
    confirm->setObjectName(QStringLiteral("confirmButton"));
    auto *cancel = dialog->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    dialog->setDefaultButton(cancel);
    dialog->setEscapeButton(cancel);
    connect(confirm, &QPushButton::clicked, this, std::move(onConfirm));
    dialog->open();
    return dialog;
}

void HistoryView::showPurgeConfirm()
{
    const QList<MigrationRecord> listed = m_ledger ? m_ledger->records() : QList<MigrationRecord>{};
    const HistoryPresenter presenter(listed, m_hideTestRecords);
    // What the dialog tells of is what the purge removes.
    const QList<MigrationRecord> asked = listedTestRecords();
    const auto [kept, drives] = keptByDrives(m_ledger, asked);
    m_purgeConfirm =
        confirmDialog(QStringLiteral("purgeConfirmDialog"), QStringLiteral("Purge Test Records"),
                      presenter.purgeConfirmMessage(kept, drives),
                      presenter.purgeConfirmButtonText(), [this, asked] { purgeListed(asked); });
}

void HistoryView::showClearConfirm()
{
    const QList<MigrationRecord> asked = m_ledger ? m_ledger->records() : QList<MigrationRecord>{};
    const auto [kept, drives] = keptByDrives(m_ledger, asked);
    m_clearConfirm = confirmDialog(
        QStringLiteral("clearConfirmDialog"), QStringLiteral("Clear Entire History"),
        HistoryPresenter::clearConfirmMessage(kept, drives),
        QStringLiteral("Clear All History Records"), [this, asked] {
            runLedgerOperation(
                [asked](LedgerService &ledger) {
                    return HistoryPresenter::clearOutcome(ledger.removeFromHistory(asked));
                },
                QStringLiteral("Waiting to clear the migration history…"),
                QStringLiteral("The history was not cleared."));
        });
}

void HistoryView::showLogViewer()
{
    if (m_logViewer)
        return;
    m_logViewer = new LogViewerSheet(
        [this] {
            if (m_logViewer) {
                m_logViewer->hide();
                m_logViewer->deleteLater();
                m_logViewer = nullptr;
            }
        },
        this);
    m_logViewer->open();
}
