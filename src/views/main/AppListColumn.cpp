#include "views/main/AppListColumn.h"

#include "platform/System.h"
#include "services/AppScanner.h"
#include "transfer/OffloadEngine.h"
#include "transfer/RestoreEngine.h"
#include "transfer/StagingCleaner.h"
#include "views/kit/Controls.h"
#include "views/kit/FlowLayout.h"
#include "views/kit/Palette.h"
#include "views/kit/RoundedPanel.h"
#include "views/kit/Symbols.h"
#include "views/kit/TextStyles.h"
#include "views/main/AppListView.h"
#include "views/main/ContentModel.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

using namespace Controls;

namespace {

constexpr int progressSteps = 1000;

QHBoxLayout *hbox(QWidget *owner, int spacing, const QMargins &margins)
{
    auto *layout = new QHBoxLayout(owner);
    layout->setSpacing(spacing);
    layout->setContentsMargins(margins);
    return layout;
}

// A full-width strip tinted with `background`, its content inset by `margins`.
RoundedPanel *strip(const QColor &background, const QMargins &margins, int spacing, QWidget *parent)
{
    auto *panel = new RoundedPanel(background, parent, 0, 0);
    panel->contentLayout()->setContentsMargins(margins);
    auto *row = new QHBoxLayout;
    row->setSpacing(spacing);
    row->setContentsMargins(0, 0, 0, 0);
    panel->contentLayout()->addLayout(row);
    return panel;
}

QHBoxLayout *stripRow(RoundedPanel *panel)
{
    return static_cast<QHBoxLayout *>(panel->contentLayout()->itemAt(0)->layout());
}

QProgressBar *thinBar(int width, QWidget *parent)
{
    auto *bar = new QProgressBar(parent);
    bar->setRange(0, progressSteps);
    bar->setTextVisible(false);
    bar->setFixedSize(width, 6);
    return bar;
}

QToolButton *menuButton(const QString &objectName, const QString &symbolName, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(objectName);
    button->setPopupMode(QToolButton::InstantPopup);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setAutoRaise(true);
    button->setFont(TextStyles::caption());
    button->setIcon(Symbols::icon(symbolName, Palette::secondaryText()));
    button->setIconSize(QSize(13, 13));
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    button->setMenu(new QMenu(button));
    return button;
}

int progressValue(double fraction)
{
    return int(std::clamp(fraction, 0.0, 1.0) * progressSteps);
}

} // namespace

// --- StatusChipButton ---

StatusChipButton::StatusChipButton(QWidget *parent)
    : QAbstractButton(parent)
{
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void StatusChipButton::setChip(const StatusChip &chip)
{
    if (chip == m_chip)
        return;
    const bool resize = chip.title != m_chip.title || chip.count != m_chip.count ||
                        chip.isCurrent != m_chip.isCurrent;
    m_chip = chip;
    setText(Controls::literalText(chip.title));
    setAccessibleName(chip.title);
    if (resize)
        updateGeometry();
    update();
}

QFont StatusChipButton::titleFont() const
{
    return systemFont(11, m_chip.isCurrent ? QFont::DemiBold : QFont::Normal);
}

QFont StatusChipButton::badgeFont()
{
    return systemFont(9, QFont::Bold);
}

QSize StatusChipButton::sizeHint() const
{
    const QFontMetrics title(titleFont());
    int width = 8 + title.horizontalAdvance(m_chip.title) + 8;
    int height = title.height();
    if (m_chip.showsBadge()) {
        const QFontMetrics badge(badgeFont());
        width += 4 + 4 + badge.horizontalAdvance(QString::number(m_chip.count)) + 4;
        height = std::max(height, badge.height() + 2);
    }
    return {width, height + 8};
}

void StatusChipButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF capsule = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = capsule.height() / 2;
    if (m_chip.isCurrent) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(accent());
    } else {
        painter.setPen(QPen(Palette::withOpacity(Palette::separator(), 0.5), 1));
        painter.setBrush(Palette::controlBackground());
    }
    painter.drawRoundedRect(capsule, radius, radius);

    const QColor ink = m_chip.isCurrent ? QColor(Qt::white) : palette().color(QPalette::WindowText);
    painter.setPen(ink);
    painter.setFont(titleFont());
    const QFontMetrics title(titleFont());
    const QRect textRect(8, 0, title.horizontalAdvance(m_chip.title), height());
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, m_chip.title);
    if (!m_chip.showsBadge())
        return;
    const QString count = QString::number(m_chip.count);
    const QFontMetrics badge(badgeFont());
    const int badgeWidth = badge.horizontalAdvance(count) + 8;
    const int badgeHeight = badge.height() + 2;
    const QRectF badgeRect(textRect.right() + 1 + 4, (height() - badgeHeight) / 2.0, badgeWidth,
                           badgeHeight);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_chip.isCurrent ? Palette::withOpacity(Qt::white, 0.3)
                                      : Palette::withOpacity(Palette::secondaryText(), 0.15));
    painter.drawRoundedRect(badgeRect, 6, 6);
    painter.setPen(ink);
    painter.setFont(badgeFont());
    painter.drawText(badgeRect, Qt::AlignCenter, count);
}

// --- AppListColumn ---

AppListColumn::AppListColumn(ContentModel &model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
{
    setObjectName(QStringLiteral("appListColumn"));
    setMinimumWidth(340);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    buildSearch();
    buildChips();
    buildHeader();
    buildSelectionBar();
    buildBanners();
    layout->addWidget(divider(this));
    buildScanArea();
    const auto staleChips = [this] { m_chipsStale = true; };
    connect(&model.appScanner(), &AppScanner::appsChanged, this, staleChips);
    connect(&model, &ContentModel::selectedSectionChanged, this, staleChips);
    refresh();
}

QString AppListColumn::bannerName(BannerKind kind)
{
    switch (kind) {
    case BannerKind::duplicateAliases:
        return QStringLiteral("duplicateAliases");
    case BannerKind::reoffload:
        return QStringLiteral("reoffload");
    case BannerKind::backupUpdate:
        return QStringLiteral("backupUpdate");
    case BannerKind::redundantCopies:
        return QStringLiteral("redundantCopies");
    case BannerKind::stagingLeftovers:
        return QStringLiteral("stagingLeftovers");
    }
    Q_UNREACHABLE();
}

void AppListColumn::buildSearch()
{
    auto *outer = new QWidget(this);
    auto *outerLayout = new QVBoxLayout(outer);
    outerLayout->setContentsMargins(12, 10, 12, 6);
    auto *box = new RoundedPanel(Palette::controlBackground(), outer, 8, 8);
    box->setBorder(Palette::withOpacity(Palette::separator(), 0.5));
    outerLayout->addWidget(box);
    auto *row = new QHBoxLayout;
    row->setSpacing(8);
    row->setContentsMargins(0, 0, 0, 0);
    box->contentLayout()->addLayout(row);

    row->addWidget(symbol(QStringLiteral("magnifyingglass"), 14, Palette::secondaryText()));
    m_search = new QLineEdit(box);
    m_search->setObjectName(QStringLiteral("searchField"));
    m_search->setPlaceholderText(tr("Search applications\u2026"));
    m_search->setFrame(false);
    m_search->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; }"));
    m_search->installEventFilter(this);
    connect(m_search, &QLineEdit::textEdited, this,
            [this](const QString &text) { m_model.setSearchText(text); });
    row->addWidget(m_search, 1);

    m_clearSearch = new QToolButton(box);
    m_clearSearch->setObjectName(QStringLiteral("clearSearchButton"));
    m_clearSearch->setAutoRaise(true);
    m_clearSearch->setIcon(
        Symbols::icon(QStringLiteral("xmark.circle.fill"), Palette::secondaryText()));
    m_clearSearch->setIconSize(QSize(13, 13));
    m_clearSearch->setCursor(Qt::ArrowCursor);
    m_clearSearch->setStyleSheet(QStringLiteral("QToolButton { border: none; padding: 0; }"));
    connect(m_clearSearch, &QToolButton::clicked, this, [this] { m_model.setSearchText({}); });
    row->addWidget(m_clearSearch);
    layout()->addWidget(outer);
}

void AppListColumn::buildChips()
{
    // The chips wrap onto another line rather than run past the column's edge.
    auto *strip = new QWidget(this);
    strip->setObjectName(QStringLiteral("statusChips"));
    auto *flow = new FlowLayout(strip, 6, 6);
    flow->setContentsMargins(12, 0, 12, 6);
    const QList<AppStatusFilter> filters = allCases<AppStatusFilter>();
    for (const AppStatusFilter filter : filters) {
        auto *chip = new StatusChipButton(strip);
        chip->setObjectName(QStringLiteral("statusChip:") + label(filter));
        connect(chip, &StatusChipButton::clicked, this,
                [this, filter] { m_model.setStatusFilter(filter); });
        flow->addWidget(chip);
        m_chips.insert(filter, chip);
    }
    layout()->addWidget(strip);
}

void AppListColumn::buildHeader()
{
    // One row while the column is wide enough; in a narrow column the three menus move to a
    // second row rather than shorten "Select All" and the count.
    auto *header = new QWidget(this);
    header->setObjectName(QStringLiteral("listHeader"));
    auto *row = new FlowLayout(header, 8, 4);
    row->setContentsMargins(12, 0, 12, 6);
    row->setLastItemTrailing(true);
    m_selectAll = button(tr("Select All"), QStringLiteral("selectAllButton"), ButtonLook::bordered,
                         ControlSize::small, {}, {}, header);
    connect(m_selectAll, &QPushButton::clicked, this, [this] { m_model.toggleSelectAll(); });
    row->addWidget(m_selectAll);
    m_count = text({}, TextStyles::caption(), Palette::secondaryText(), false,
                   Qt::AlignLeft | Qt::AlignVCenter, header);
    m_count->setObjectName(QStringLiteral("appCountLabel"));
    row->addWidget(m_count);
    auto *menus = new QWidget(header);
    QHBoxLayout *menuRow = hbox(menus, 8, QMargins());
    m_sizeMenu = menuButton(QStringLiteral("sizeMenuButton"),
                            QStringLiteral("line.3.horizontal.decrease.circle"), menus);
    m_subfolderMenu =
        menuButton(QStringLiteral("subfolderMenuButton"), QStringLiteral("folder"), menus);
    m_sortMenu =
        menuButton(QStringLiteral("sortMenuButton"), QStringLiteral("arrow.up.arrow.down"), menus);
    menuRow->addWidget(m_sizeMenu);
    menuRow->addWidget(m_subfolderMenu);
    menuRow->addWidget(m_sortMenu);
    row->addWidget(menus);
    layout()->addWidget(header);
}

void AppListColumn::buildSelectionBar()
{
    m_selectionBar = strip(Palette::withOpacity(accent(), 0.1), QMargins(12, 4, 12, 4), 8, this);
    m_selectionBar->setObjectName(QStringLiteral("selectionBar"));
    QHBoxLayout *row = stripRow(m_selectionBar);
    QFont bold = TextStyles::caption();
    bold.setBold(true);
    m_selectionText =
        text({}, bold, accent(), false, Qt::AlignLeft | Qt::AlignVCenter, m_selectionBar);
    m_selectionText->setObjectName(QStringLiteral("selectionBarText"));
    row->addWidget(m_selectionText);
    row->addStretch(1);
    QPushButton *clear = button(tr("Clear"), QStringLiteral("clearSelectionButton"),
                                ButtonLook::borderless, ControlSize::small, {}, {}, m_selectionBar);
    clear->setFont(TextStyles::caption());
    connect(clear, &QPushButton::clicked, this, [this] { m_model.handleClearAppSelection(); });
    row->addWidget(clear);
    layout()->addWidget(m_selectionBar);
}

void AppListColumn::buildBanners()
{
    // Every banner with its fixed parts; refresh() fills in texts and shows the due ones.
    BannerInputs all;
    all.totalDuplicateAliases = 1;
    all.needsReoffload = 1;
    all.outOfSyncBackups = 1;
    all.redundantLocalCopies = 1;
    all.orphanedItems = 1;
    const QList<BannerModel> banners = ListColumnPresenter::banners(all);
    for (const BannerModel &banner : banners) {
        RoundedPanel *panel =
            strip(banner.background, QMargins(12, banner.verticalInset, 12, banner.verticalInset),
                  8, this);
        panel->setObjectName(QStringLiteral("banner:") + bannerName(banner.kind));
        QHBoxLayout *row = stripRow(panel);
        row->addWidget(symbol(banner.symbol, 13, banner.color, panel), 0, Qt::AlignVCenter);
        QLabel *message = text({}, TextStyles::caption2(), Palette::secondaryText(), false,
                               Qt::AlignLeft | Qt::AlignVCenter, panel);
        message->setObjectName(QStringLiteral("bannerMessage"));
        message->setWordWrap(true);
        row->addWidget(message, 1);
        for (const BannerButton &item : banner.buttons) {
            QPushButton *action =
                button(item.title, item.objectName,
                       item.prominent ? ButtonLook::prominent : ButtonLook::bordered,
                       ControlSize::small, item.tint, {}, panel);
            connect(action, &QPushButton::clicked, this,
                    [this, name = item.objectName] { bannerAction(name); });
            row->addWidget(action, 0, Qt::AlignVCenter);
        }
        panel->hide();
        layout()->addWidget(panel);
        m_banners.insert(banner.kind, panel);
    }
}

void AppListColumn::buildScanArea()
{
    m_progressStrip = strip(Palette::withOpacity(accent(), 0.06), QMargins(14, 6, 14, 6), 10, this);
    m_progressStrip->setObjectName(QStringLiteral("scanProgressStrip"));
    QHBoxLayout *row = stripRow(m_progressStrip);
    row->addWidget(new ActivitySpinner(12, m_progressStrip), 0, Qt::AlignVCenter);
    m_scanStatus = text({}, TextStyles::caption(), Palette::secondaryText(), false,
                        Qt::AlignLeft | Qt::AlignVCenter, m_progressStrip);
    m_scanStatus->setObjectName(QStringLiteral("scanStatusLabel"));
    row->addWidget(m_scanStatus);
    row->addStretch(1);
    m_scanBar = thinBar(140, m_progressStrip);
    row->addWidget(m_scanBar, 0, Qt::AlignVCenter);
    QFont digits = TextStyles::caption();
    digits.setFamilies(TextStyles::monospaced().families());
    m_scanPercent = text({}, digits, Palette::secondaryText(), false,
                         Qt::AlignLeft | Qt::AlignVCenter, m_progressStrip);
    m_scanPercent->setObjectName(QStringLiteral("scanPercentLabel"));
    m_scanPercent->setMinimumWidth(QFontMetrics(digits).horizontalAdvance(QStringLiteral("100%")));
    m_scanPercent->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    row->addWidget(m_scanPercent);
    layout()->addWidget(m_progressStrip);
    m_progressDivider = divider(this);
    layout()->addWidget(m_progressDivider);

    m_mainArea = new QStackedWidget(this);
    static_cast<QVBoxLayout *>(layout())->addWidget(m_mainArea, 1);

    m_placeholder = new QWidget(m_mainArea);
    m_placeholder->setObjectName(QStringLiteral("scanningPlaceholder"));
    auto *placeholder = new QVBoxLayout(m_placeholder);
    placeholder->setSpacing(12);
    placeholder->addStretch(1);
    placeholder->addWidget(new ActivitySpinner(24, m_placeholder), 0, Qt::AlignHCenter);
    m_placeholderStatus = text({}, TextStyles::caption(), Palette::secondaryText(), false,
                               Qt::AlignLeft | Qt::AlignVCenter, m_placeholder);
    m_placeholderStatus->setAlignment(Qt::AlignCenter);
    placeholder->addWidget(m_placeholderStatus, 0, Qt::AlignHCenter);
    m_placeholderBar = thinBar(220, m_placeholder);
    placeholder->addWidget(m_placeholderBar, 0, Qt::AlignHCenter);
    placeholder->addStretch(1);
    m_mainArea->addWidget(m_placeholder);

    m_list = new AppListView(m_mainArea);
    connect(m_list, &AppListView::rowTapped, this,
            [this](const AppItem &app, bool command) { m_model.handleRowTap(app, command); });
    connect(m_list, &AppListView::selectionToggled, this,
            [this](const AppItem &app) { m_model.toggleSelection(app); });
    m_mainArea->addWidget(m_list);

    m_emptyState = new QWidget(m_mainArea);
    m_emptyState->setObjectName(QStringLiteral("noMatchingAppsView"));
    auto *empty = new QVBoxLayout(m_emptyState);
    empty->setSpacing(10);
    empty->addStretch(1);
    empty->addWidget(symbol(QStringLiteral("magnifyingglass"), 36, Palette::secondaryText()), 0,
                     Qt::AlignHCenter);
    QLabel *title = text(tr("No Matching Applications"), TextStyles::headline(), {}, false,
                         Qt::AlignLeft | Qt::AlignVCenter, m_emptyState);
    empty->addWidget(title, 0, Qt::AlignHCenter);
    QLabel *hint =
        text(tr("Try adjusting your filters or search terms."), TextStyles::caption(),
             Palette::secondaryText(), false, Qt::AlignLeft | Qt::AlignVCenter, m_emptyState);
    empty->addWidget(hint, 0, Qt::AlignHCenter);
    empty->addStretch(1);
    m_mainArea->addWidget(m_emptyState);
}

void AppListColumn::refresh()
{
    if (m_search->text() != m_model.searchText())
        m_search->setText(m_model.searchText());
    m_clearSearch->setVisible(!m_model.searchText().isEmpty());
    refreshChips();
    refreshHeader();
    const std::optional<QString> selection = ListColumnPresenter::selectionBarText(
        m_model.selectedAppIds().size(), m_model.filteredApps().size(),
        m_model.selectedAppsTotalBytes());
    m_selectionBar->setVisible(selection.has_value());
    m_selectionText->setText(selection.value_or(QString()));
    refreshBanners();
    refreshScanArea();
}

void AppListColumn::refreshChips()
{
    if (m_chipsStale) {
        m_chipCounts = ListColumnPresenter::statusChips(m_model.appsForSelectedSection(),
                                                        m_model.statusFilter());
        m_chipsStale = false;
    }
    for (StatusChip chip : std::as_const(m_chipCounts)) {
        chip.isCurrent = chip.filter == m_model.statusFilter();
        m_chips.value(chip.filter)->setChip(chip);
    }
}

void AppListColumn::fillMenu(QMenu *menu, const QList<MenuChoice> &choices,
                             const std::function<void(int)> &choose)
{
    // A menu the user has open keeps its items until it closes.
    if (menu->isVisible())
        return;
    menu->clear();
    for (int i = 0; i < choices.size(); ++i) {
        if (choices[i].title.isEmpty()) {
            menu->addSeparator();
            continue;
        }
        QAction *action = menu->addAction(literalText(choices[i].title));
        action->setCheckable(true);
        action->setChecked(choices[i].checked);
        connect(action, &QAction::triggered, this, [choose, i] { choose(i); });
    }
}

void AppListColumn::refreshHeader()
{
    const QStringList &subfolders = m_model.availableSubfolders();
    const ListHeaderModel header = ListColumnPresenter::header(
        m_model.selectedAppIds().size(), m_model.filteredApps().size(), m_model.sizeFilter(),
        subfolders, m_model.selectedSubfolder(), m_model.sortOrder());
    setButtonText(m_selectAll, header.selectAllTitle);
    m_count->setText(header.countText);
    m_sizeMenu->setText(literalText(header.sizeTitle));
    m_subfolderMenu->setVisible(header.showsSubfolderMenu);
    m_subfolderMenu->setText(literalText(header.subfolderTitle));
    m_sortMenu->setText(literalText(header.sortTitle));

    fillMenu(m_sizeMenu->menu(), ListColumnPresenter::sizeMenu(m_model.sizeFilter()),
             [this](int i) { m_model.setSizeFilter(allCases<AppSizeFilter>().at(i)); });
    fillMenu(m_subfolderMenu->menu(),
             ListColumnPresenter::subfolderMenu(subfolders, m_model.selectedSubfolder()),
             [this, subfolders](int i) {
                 // Item 0 is "All Subfolders", item 1 the divider.
                 m_model.setSelectedSubfolder(i == 0 ? ListCriteria::allSubfolders()
                                                     : subfolders.at(i - 2));
             });
    fillMenu(m_sortMenu->menu(), ListColumnPresenter::sortMenu(m_model.sortOrder()),
             [this](int i) { m_model.setSortOrder(allCases<AppSortOrder>().at(i)); });
}

void AppListColumn::refreshBanners()
{
    BannerInputs in;
    in.totalDuplicateAliases = m_model.appScanner().totalDuplicateAliasesCount();
    in.section = m_model.selectedSection();
    in.needsReoffload = int(m_model.needsReoffloadApps().size());
    in.outOfSyncBackups = int(m_model.outOfSyncBackupApps().size());
    in.redundantLocalCopies = int(m_model.appScanner().duplicateLocalInstances().size());
    in.redundantCopiesBytes = m_model.redundantCopiesBytes();
    in.orphanedItems = int(m_model.stagingCleaner().orphanedItems().size());
    in.orphanedStagingBytes = m_model.orphanedStagingBytes();
    in.isCleaning = m_model.stagingCleaner().isCleaning();
    in.isOffloading = m_model.offloadEngine().isOffloading();
    in.isRestoring = m_model.restoreEngine().isRestoring();

    const QList<BannerModel> shown = ListColumnPresenter::banners(in);
    for (auto it = m_banners.cbegin(); it != m_banners.cend(); ++it) {
        const auto model = std::find_if(shown.cbegin(), shown.cend(),
                                        [&](const BannerModel &b) { return b.kind == it.key(); });
        RoundedPanel *panel = it.value();
        panel->setVisible(model != shown.cend());
        if (model == shown.cend())
            continue;
        panel->findChild<QLabel *>(QStringLiteral("bannerMessage"))->setText(model->message);
        for (const BannerButton &item : model->buttons)
            panel->findChild<QPushButton *>(item.objectName)->setEnabled(item.enabled);
    }
}

void AppListColumn::refreshScanArea()
{
    const AppScanner &scanner = m_model.appScanner();
    const QList<AppItem> &listed = m_model.filteredApps();
    const ScanAreaModel area = ListColumnPresenter::scanArea(
        scanner.isScanning(), !scanner.apps().isEmpty(), !listed.isEmpty(), scanner.scanProgress());
    m_progressStrip->setVisible(area.showsProgressStrip);
    m_progressDivider->setVisible(area.showsProgressStrip);
    m_scanStatus->setText(scanner.scanStatus());
    m_scanBar->setValue(progressValue(scanner.scanProgress()));
    m_scanPercent->setText(area.percentText);
    m_placeholderStatus->setText(scanner.scanStatus());
    m_placeholderBar->setValue(progressValue(scanner.scanProgress()));

    m_list->appModel()->setApps(listed);
    m_list->appModel()->setSelectedIds(m_model.selectedAppIds());
    switch (area.mainArea) {
    case ListArea::scanningPlaceholder:
        m_mainArea->setCurrentWidget(m_placeholder);
        break;
    case ListArea::list:
        m_mainArea->setCurrentWidget(m_list);
        break;
    case ListArea::emptyState:
        m_mainArea->setCurrentWidget(m_emptyState);
        break;
    }
}

void AppListColumn::focusSearch()
{
    m_search->setFocus(Qt::ShortcutFocusReason);
}

bool AppListColumn::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_search &&
        (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)) {
        const bool focused = event->type() == QEvent::FocusIn;
        if (m_model.isSearchFocused() != focused)
            m_model.setIsSearchFocused(focused);
    }
    return QWidget::eventFilter(watched, event);
}

void AppListColumn::bannerAction(const QString &buttonName)
{
    if (buttonName == QLatin1String("cleanDuplicatesButton"))
        m_model.setShowingCleanDuplicatesConfirm(true);
    else if (buttonName == QLatin1String("reoffloadUpdatedButton"))
        m_model.launchBannerBatch(m_model.needsReoffloadApps(), MaintenanceOperation::reoffload);
    else if (buttonName == QLatin1String("updateBackupsButton"))
        m_model.launchBannerBatch(m_model.outOfSyncBackupApps(),
                                  MaintenanceOperation::backupUpdate);
    else if (buttonName == QLatin1String("reviewCopiesButton"))
        m_model.setShowingDuplicateInstancesSheet(true);
    else if (buttonName == QLatin1String("revealLeftoversButton"))
        revealOrphanedItems();
    else if (buttonName == QLatin1String("cleanUpLeftoversButton"))
        m_model.setShowingCleanStagingConfirm(true);
}

void AppListColumn::revealOrphanedItems()
{
    QStringList paths;
    const QList<OrphanedStagingItem> items = m_model.stagingCleaner().orphanedItems();
    for (const OrphanedStagingItem &item : items)
        paths.append(item.url.toLocalFile());
    System::current().workspace().reveal(paths);
}
