#include "views/inspectors/AppDetailView.h"

#include "base/PathUtils.h"
#include "platform/System.h"
#include "transfer/AppProxyHelper.h"
#include "views/inspectors/AppItemBinding.h"
#include "views/inspectors/InspectorWidgets.h"
#include "views/kit/Controls.h"
#include "views/kit/FlowLayout.h"
#include "views/kit/Palette.h"
#include "views/kit/Pill.h"
#include "views/kit/ProxyJobGuard.h"
#include "views/kit/RoundedPanel.h"
#include "views/kit/SelectableLabel.h"
#include "views/kit/Symbols.h"
#include "views/kit/TextStyles.h"
#include "volumes/VolumeManager.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCoroFuture>
#include <QCoroTimer>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSet>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtConcurrent>

namespace {

using namespace Controls;
using namespace InspectorWidgets;
using Model = AppDetailModel;

// A support-folder row: a click anywhere on it toggles its checkbox, as on the label of a
// checkbox.
class ToggleRow final : public QWidget
{
public:
    explicit ToggleRow(QCheckBox *toggle)
        : m_toggle(toggle)
    {}

protected:
    void mousePressEvent(QMouseEvent *event) override { event->accept(); }
    void mouseReleaseEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton && m_toggle->isEnabled() &&
            rect().contains(event->position().toPoint()))
            m_toggle->click();
    }

private:
    QCheckBox *m_toggle;
};

SelectableLabel *pathLabel(const QFont &font, const QColor &color, const QString &name)
{
    auto *label = new SelectableLabel;
    label->setObjectName(name);
    label->setFont(font);
    label->setElideMode(Qt::ElideMiddle);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setTextColor(label, color);
    return label;
}

QLabel *named(QLabel *label, const QString &name)
{
    label->setObjectName(name);
    return label;
}

RoundedPanel *panel(const QColor &tint, qreal opacity, int spacing, const QString &name)
{
    auto *result = new RoundedPanel(Palette::withOpacity(tint, opacity));
    result->setObjectName(name);
    result->contentLayout()->setSpacing(spacing);
    return result;
}

QFont bold(QFont font)
{
    font.setBold(true);
    return font;
}

// A row of a leading part (a symbol and texts that wrap) and the controls after it: side by
// side while the texts keep a readable width, otherwise the controls move under the texts,
// at the right, rather than shorten what they say.
struct LeadRow
{
    QHBoxLayout *lead;
    FlowLayout *flow;
};

LeadRow leadRow(QBoxLayout *into, int spacing)
{
    constexpr int readableTextWidth = 200;
    auto *widget = new QWidget;
    auto *flow = new FlowLayout(widget, spacing, 8);
    flow->setContentsMargins(0, 0, 0, 0);
    flow->setFirstItemStretch(readableTextWidth);
    flow->setLastItemTrailing(true);
    auto *leadWidget = new QWidget;
    QHBoxLayout *lead = row(spacing);
    leadWidget->setLayout(lead);
    flow->addWidget(leadWidget);
    into->addWidget(widget);
    return {lead, flow};
}

void clearLayout(QLayout *layout)
{
    while (QLayoutItem *item = layout->takeAt(0)) {
        if (QWidget *widget = item->widget())
            widget->deleteLater();
        if (QLayout *child = item->layout())
            clearLayout(child);
        delete item;
    }
}

// Every bundle the item stands for: its own entry and, for a link, the copy on the drive.
QStringList quitTargets(const AppItem &app)
{
    QStringList bundles{PathUtils::standardized(app.id())};
    if (app.symlinkTarget && !bundles.contains(PathUtils::standardized(*app.symlinkTarget)))
        bundles.append(PathUtils::standardized(*app.symlinkTarget));
    return bundles;
}

bool anyRunning(const QStringList &bundles)
{
    const QStringList running = System::current().workspace().runningApplicationBundles();
    for (const QString &bundle : running) {
        if (bundles.contains(PathUtils::standardized(bundle)))
            return true;
    }
    return false;
}

} // namespace

struct AppDetailView::Widgets
{
    QWidget *content = nullptr;
    // Header
    QLabel *icon = nullptr;
    QLabel *name = nullptr;
    Pill *status = nullptr;
    QLabel *identifier = nullptr;
    QLabel *version = nullptr;
    QWidget *driveRow = nullptr;
    QLabel *driveSymbol = nullptr;
    SelectableLabel *drivePath = nullptr;
    QWidget *localRow = nullptr;
    QLabel *localSymbol = nullptr;
    QLabel *localLabel = nullptr;
    SelectableLabel *localPath = nullptr;
    SelectableLabel *plainPath = nullptr;
    // Banners
    RoundedPanel *updateReplaced = nullptr;
    QLabel *updateReplacedText = nullptr;
    QLabel *newLocalVersion = nullptr;
    QWidget *previousDriveGroup = nullptr;
    QLabel *previousDriveVersion = nullptr;
    RoundedPanel *outOfSync = nullptr;
    QLabel *macVersion = nullptr;
    QLabel *driveBackupVersion = nullptr;
    RoundedPanel *aliases = nullptr;
    QLabel *aliasesTitle = nullptr;
    QVBoxLayout *aliasRows = nullptr;
    QStringList shownAliases;
    // Promotion and App Proxy
    RoundedPanel *promotion = nullptr;
    QLabel *promotionTitle = nullptr;
    QPushButton *promote = nullptr;
    Pill *alreadyAtRoot = nullptr;
    QLabel *promotionExplanation = nullptr;
    QLabel *promotionNotice = nullptr;
    RoundedPanel *proxy = nullptr;
    QLabel *proxyTitle = nullptr;
    QPushButton *proxyButton = nullptr;
    QLabel *proxyExplanation = nullptr;
    QLabel *proxyNotice = nullptr;
    // Mode and notices
    RoundedPanel *modePicker = nullptr;
    QPushButton *offloadMode = nullptr;
    QPushButton *copyMode = nullptr;
    QLabel *modeDescription = nullptr;
    RoundedPanel *protectedNotice = nullptr;
    QLabel *protectedReason = nullptr;
    RoundedPanel *runningNotice = nullptr;
    QLabel *runningLine = nullptr;
    QPushButton *terminate = nullptr;
    // Support folders
    QWidget *folders = nullptr;
    QVBoxLayout *folderRows = nullptr;
    QLabel *sharedNameNote = nullptr;
    struct FolderRow
    {
        QCheckBox *toggle;
        QLabel *name;
        SelectableLabel *path;
        QLabel *size;
    };
    QStringList shownFolders;
    QList<FolderRow> folderWidgets;
    // Storage and warning
    QVBoxLayout *storageRows = nullptr;
    RoundedPanel *incompatible = nullptr;
    QLabel *incompatibleTitle = nullptr;
    QLabel *incompatibleReason = nullptr;
    // Action bar
    QPushButton *revealInFinder = nullptr;
    QPushButton *revealOnDrive = nullptr;
    QPushButton *mainAction = nullptr;
};

AppDetailView::AppDetailView(AppItemBinding *app, VolumeManager *volumeManager,
                             OffloadAction onStartOffload, AppAction onStartRestore,
                             AppAction onResolveDuplicates, PathAction onRemoveSingleDuplicate,
                             std::function<void()> onProxyCreated, AppAction onUpdateBackup,
                             AppAction onReoffloadUpdate, QWidget *parent)
    : QScrollArea(parent)
    , m_binding(app)
    , m_volumeManager(volumeManager)
    , m_onStartOffload(std::move(onStartOffload))
    , m_onStartRestore(std::move(onStartRestore))
    , m_onResolveDuplicates(std::move(onResolveDuplicates))
    , m_onRemoveSingleDuplicate(std::move(onRemoveSingleDuplicate))
    , m_onProxyCreated(std::move(onProxyCreated))
    , m_onUpdateBackup(std::move(onUpdateBackup))
    , m_onReoffloadUpdate(std::move(onReoffloadUpdate))
    , w(std::make_unique<Widgets>())
{
    setObjectName(QStringLiteral("appDetailView"));
    m_binding->setParent(this);
    connect(m_binding, &AppItemBinding::changed, this, &AppDetailView::scheduleRefresh);
    if (volumeManager)
        connect(volumeManager, &VolumeManager::selectedVolumeChanged, this,
                &AppDetailView::scheduleRefresh);
    build();
    refresh();
}

AppDetailView::~AppDetailView() = default;

void AppDetailView::scheduleRefresh()
{
    // A scan publishes many small changes in a row; one redraw follows them all.
    if (m_refreshPending)
        return;
    m_refreshPending = true;
    QMetaObject::invokeMethod(this, &AppDetailView::refresh, Qt::QueuedConnection);
}

void AppDetailView::refresh()
{
    m_refreshPending = false;
    m_app = m_binding->value();
    const std::optional<TargetVolume> volume =
        m_volumeManager ? m_volumeManager->selectedVolume() : std::nullopt;
    m_model = AppDetailPresenter::present(m_app, AppDetailFacts::read(m_app), volume, m_state);
    apply();
}

// ---------------------------------------------------------------------------------------
// Building

void AppDetailView::build()
{
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    w->content = new QWidget;
    w->content->setObjectName(QStringLiteral("appDetailContent"));
    auto *stack = new QVBoxLayout(w->content);
    stack->setContentsMargins(24, 24, 24, 24);
    stack->setSpacing(20);
    buildHeader(stack);
    stack->addWidget(divider());
    buildBanners(stack);
    buildProxySections(stack);
    buildModeAndNotices(stack);
    buildSupportFolders(stack);
    buildStorage(stack);
    buildActionBar(stack);
    stack->addStretch(1);
    // The content takes the column's width; what does not fit wraps or shortens instead of
    // running past the window's edge.
    w->content->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setWidget(w->content);
}

void AppDetailView::buildHeader(QVBoxLayout *into)
{
    QHBoxLayout *header = row(16, into);
    w->icon = named(new QLabel, QStringLiteral("appIcon"));
    w->icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    header->addWidget(w->icon, 0, Qt::AlignVCenter);

    auto *titleColumn = new QVBoxLayout;
    titleColumn->setSpacing(4);
    header->addLayout(titleColumn, 1);

    QHBoxLayout *titleRow = row(8);
    titleColumn->addLayout(titleRow);
    w->name = named(text({}, bold(TextStyles::title2()), {}, true), QStringLiteral("appName"));
    // A long name wraps rather than widening the column past the window's edge.
    w->name->setWordWrap(true);
    titleRow->addWidget(w->name);
    w->status = new Pill;
    w->status->setObjectName(QStringLiteral("statusBadge"));
    // In a narrow column the long status texts shorten, with the whole text as tooltip.
    w->status->setElidable(true);
    titleRow->addWidget(w->status, 0, Qt::AlignVCenter);
    titleRow->addStretch(1);

    w->identifier = named(text({}, TextStyles::caption(), Palette::secondaryText(), true),
                          QStringLiteral("bundleIdentifier"));
    titleColumn->addWidget(w->identifier);
    w->version = named(text({}, TextStyles::caption2(), Palette::secondaryText(), true),
                       QStringLiteral("versionLine"));
    titleColumn->addWidget(w->version);

    w->driveRow = new QWidget;
    w->driveRow->setObjectName(QStringLiteral("driveRow"));
    QHBoxLayout *drive = row(6);
    drive->setContentsMargins(0, 2, 0, 2);
    w->driveRow->setLayout(drive);
    w->driveSymbol = symbol(QStringLiteral("externaldrive.fill"), 14, Palette::green());
    drive->addWidget(w->driveSymbol);
    drive->addWidget(
        text(QStringLiteral("Stored on Drive:"), bold(TextStyles::caption()), {}, true));
    w->drivePath = pathLabel(monospacedFont(11), Controls::accent(), QStringLiteral("drivePath"));
    drive->addWidget(w->drivePath, 1);
    titleColumn->addWidget(w->driveRow);

    w->localRow = new QWidget;
    w->localRow->setObjectName(QStringLiteral("localRow"));
    QHBoxLayout *local = row(6);
    w->localRow->setLayout(local);
    w->localSymbol = symbol(QStringLiteral("link"), 14, Palette::secondaryText());
    local->addWidget(w->localSymbol);
    w->localLabel = named(text({}, bold(TextStyles::caption()), Palette::secondaryText(), true),
                          QStringLiteral("localLabel"));
    w->localLabel->setWordWrap(false);
    local->addWidget(w->localLabel);
    w->localPath =
        pathLabel(monospacedFont(11), Palette::secondaryText(), QStringLiteral("localPath"));
    local->addWidget(w->localPath, 1);
    titleColumn->addWidget(w->localRow);

    w->plainPath =
        pathLabel(TextStyles::caption2(), Palette::secondaryText(), QStringLiteral("plainPath"));
    titleColumn->addWidget(w->plainPath);
}

void AppDetailView::buildBanners(QVBoxLayout *into)
{
    const auto prominentSmall = [](const QString &label, const QColor &tint) {
        return button(label, {}, ButtonLook::prominent, ControlSize::small, tint);
    };

    // Update replaced an offloaded application.
    w->updateReplaced = panel(Palette::red(), 0.12, 10, QStringLiteral("updateReplacedBanner"));
    {
        QVBoxLayout *box = w->updateReplaced->contentLayout();
        const LeadRow top = leadRow(box, 8);
        top.lead->addWidget(symbol(QStringLiteral("exclamationmark.arrow.triangle.2.circlepath"),
                                   20, Palette::red()),
                            0, Qt::AlignVCenter);
        auto *texts = new QVBoxLayout;
        texts->setSpacing(2);
        texts->addWidget(text(QStringLiteral("Update Replaced Offloaded App"),
                              TextStyles::headline(), Palette::red(), true));
        w->updateReplacedText =
            named(text({}, TextStyles::caption(), Palette::secondaryText(), true),
                  QStringLiteral("updateReplacedText"));
        texts->addWidget(w->updateReplacedText);
        top.lead->addLayout(texts, 1);
        QPushButton *reoffload =
            prominentSmall(QStringLiteral("Re-Offload Update"), Palette::red());
        reoffload->setObjectName(QStringLiteral("reoffloadUpdateButton"));
        connect(reoffload, &QPushButton::clicked, this, [this] {
            if (m_onReoffloadUpdate)
                m_onReoffloadUpdate(m_binding->value());
        });
        top.flow->addWidget(reoffload);

        QHBoxLayout *versions = row(16, box);
        versions->setContentsMargins(4, 0, 4, 0);
        QHBoxLayout *localGroup = row(4, versions);
        localGroup->addWidget(symbol(QStringLiteral("laptopcomputer"), 13));
        localGroup->addWidget(
            text(QStringLiteral("New Local Version:"), bold(TextStyles::caption()), {}, true));
        w->newLocalVersion =
            named(text({}, TextStyles::caption(), {}, true), QStringLiteral("newLocalVersion"));
        localGroup->addWidget(w->newLocalVersion);
        w->previousDriveGroup = new QWidget;
        w->previousDriveGroup->setObjectName(QStringLiteral("previousDriveGroup"));
        QHBoxLayout *driveGroup = row(4);
        w->previousDriveGroup->setLayout(driveGroup);
        driveGroup->addWidget(
            symbol(QStringLiteral("externaldrive"), 13, Palette::secondaryText()));
        driveGroup->addWidget(text(QStringLiteral("Previous Drive Version:"),
                                   bold(TextStyles::caption()), Palette::secondaryText(), true));
        w->previousDriveVersion =
            named(text({}, TextStyles::caption(), Palette::secondaryText(), true),
                  QStringLiteral("previousDriveVersion"));
        driveGroup->addWidget(w->previousDriveVersion);
        versions->addWidget(w->previousDriveGroup);
        versions->addStretch(1);
    }
    into->addWidget(w->updateReplaced);

    // The Mac's copy differs from the backup on the drive.
    w->outOfSync = panel(Palette::orange(), 0.12, 10, QStringLiteral("outOfSyncBanner"));
    {
        QVBoxLayout *box = w->outOfSync->contentLayout();
        const LeadRow top = leadRow(box, 8);
        top.lead->addWidget(
            symbol(QStringLiteral("arrow.triangle.2.circlepath"), 20, Palette::orange()), 0,
            Qt::AlignVCenter);
        auto *texts = new QVBoxLayout;
        texts->setSpacing(2);
        texts->addWidget(text(QStringLiteral("Backup Out-of-Sync"), TextStyles::headline(),
                              Palette::orange(), true));
        texts->addWidget(text(QStringLiteral("The version on your Mac has been updated and differs "
                                             "from the backup copy stored on your external drive."),
                              TextStyles::caption(), Palette::secondaryText(), true));
        top.lead->addLayout(texts, 1);
        QPushButton *update =
            prominentSmall(QStringLiteral("Update Backup (Recopy)"), Palette::orange());
        update->setObjectName(QStringLiteral("updateBackupButton"));
        connect(update, &QPushButton::clicked, this, [this] {
            if (m_onUpdateBackup)
                m_onUpdateBackup(m_binding->value());
        });
        top.flow->addWidget(update);

        QHBoxLayout *versions = row(20, box);
        versions->setContentsMargins(4, 0, 4, 0);
        QHBoxLayout *mac = row(4, versions);
        mac->addWidget(symbol(QStringLiteral("laptopcomputer"), 13));
        mac->addWidget(text(QStringLiteral("Mac:"), bold(TextStyles::caption()), {}, true));
        w->macVersion = named(text({}, TextStyles::caption(), Controls::accent(), true),
                              QStringLiteral("macVersion"));
        mac->addWidget(w->macVersion);
        versions->addWidget(symbol(QStringLiteral("arrow.right"), 10, Palette::secondaryText()));
        QHBoxLayout *drive = row(4, versions);
        drive->addWidget(symbol(QStringLiteral("externaldrive"), 13, Palette::orange()));
        drive->addWidget(
            text(QStringLiteral("Drive Backup:"), bold(TextStyles::caption()), {}, true));
        w->driveBackupVersion = named(text({}, TextStyles::caption(), Palette::orange(), true),
                                      QStringLiteral("driveBackupVersion"));
        drive->addWidget(w->driveBackupVersion);
        versions->addStretch(1);
    }
    into->addWidget(w->outOfSync);

    // Several aliases point at the same offloaded application.
    w->aliases = panel(Palette::orange(), 0.12, 10, QStringLiteral("redundantAliasesSection"));
    {
        QVBoxLayout *box = w->aliases->contentLayout();
        const LeadRow top = leadRow(box, 8);
        top.lead->addWidget(
            symbol(QStringLiteral("exclamationmark.triangle.fill"), 16, Palette::orange()));
        w->aliasesTitle = named(text({}, TextStyles::headline(), {}, true),
                                QStringLiteral("redundantAliasesTitle"));
        top.lead->addWidget(w->aliasesTitle, 1);
        QPushButton *resolve =
            prominentSmall(QStringLiteral("Resolve to Single Reference"), Palette::orange());
        resolve->setObjectName(QStringLiteral("resolveDuplicatesButton"));
        connect(resolve, &QPushButton::clicked, this, [this] {
            if (m_onResolveDuplicates)
                m_onResolveDuplicates(m_binding->value());
        });
        top.flow->addWidget(resolve);
        box->addWidget(
            text(QStringLiteral("Multiple aliases on your Mac currently point to this same "
                                "offloaded app. Resolving will safely delete the redundant "
                                "alias files and keep this single clean reference:"),
                 TextStyles::caption(), Palette::secondaryText(), true));
        auto *list = new RoundedPanel(
            Palette::withOpacity(QApplication::palette().color(QPalette::Base), 0.6), nullptr, 6,
            10);
        list->contentLayout()->setSpacing(6);
        w->aliasRows = list->contentLayout();
        box->addWidget(list);
    }
    into->addWidget(w->aliases);
}

void AppDetailView::buildProxySections(QVBoxLayout *into)
{
    w->promotion = panel(Controls::accent(), 0.10, 8, QStringLiteral("promotionSection"));
    {
        QVBoxLayout *box = w->promotion->contentLayout();
        const LeadRow top = leadRow(box, 8);
        top.lead->addWidget(
            symbol(QStringLiteral("folder.badge.gearshape"), 16, Controls::accent()));
        w->promotionTitle =
            named(text({}, TextStyles::headline(), {}, true), QStringLiteral("promotionTitle"));
        top.lead->addWidget(w->promotionTitle, 1);
        w->alreadyAtRoot =
            new Pill(QStringLiteral("Already at Root /Applications"),
                     Pill::Style{Palette::secondaryText(),
                                 Palette::withOpacity(Palette::secondaryText(), 0.15), 8, 4, 6,
                                 TextStyles::caption().pointSize(), true});
        w->alreadyAtRoot->setObjectName(QStringLiteral("alreadyAtRootLabel"));
        top.flow->addWidget(w->alreadyAtRoot);
        w->promote = button(QStringLiteral("Promote to /Applications"), {}, ButtonLook::prominent,
                            ControlSize::small);
        w->promote->setObjectName(QStringLiteral("promoteButton"));
        connect(w->promote, &QPushButton::clicked, this,
                [this] { runProxyJob(ProxyJob::promotion); });
        top.flow->addWidget(w->promote);
        w->promotionExplanation =
            named(text({}, TextStyles::caption(), Palette::secondaryText(), true),
                  QStringLiteral("promotionExplanation"));
        w->promotionExplanation->setTextFormat(Qt::MarkdownText);
        box->addWidget(w->promotionExplanation);
        w->promotionNotice = named(text({}, bold(TextStyles::caption()), {}, true),
                                   QStringLiteral("promotionNotice"));
        w->promotionNotice->setContentsMargins(0, 2, 0, 0);
        box->addWidget(w->promotionNotice);
    }
    into->addWidget(w->promotion);

    w->proxy = panel(Palette::purple(), 0.10, 8, QStringLiteral("proxySection"));
    {
        QVBoxLayout *box = w->proxy->contentLayout();
        const LeadRow top = leadRow(box, 8);
        top.lead->addWidget(symbol(QStringLiteral("sparkles.tv"), 16, Palette::purple()));
        w->proxyTitle =
            named(text({}, TextStyles::headline(), {}, true), QStringLiteral("proxyTitle"));
        top.lead->addWidget(w->proxyTitle, 1);
        w->proxyButton =
            button({}, {}, ButtonLook::prominent, ControlSize::small, Palette::purple());
        w->proxyButton->setObjectName(QStringLiteral("proxyButton"));
        connect(w->proxyButton, &QPushButton::clicked, this,
                [this] { runProxyJob(ProxyJob::proxy); });
        top.flow->addWidget(w->proxyButton);
        w->proxyExplanation = named(text({}, TextStyles::caption(), Palette::secondaryText(), true),
                                    QStringLiteral("proxyExplanation"));
        box->addWidget(w->proxyExplanation);
        w->proxyNotice = named(text({}, bold(TextStyles::caption()), Palette::purple(), true),
                               QStringLiteral("proxyNotice"));
        w->proxyNotice->setContentsMargins(0, 2, 0, 0);
        box->addWidget(w->proxyNotice);
    }
    into->addWidget(w->proxy);
}

void AppDetailView::buildModeAndNotices(QVBoxLayout *into)
{
    w->modePicker = panel(Palette::controlBackground(), 1.0, 8, QStringLiteral("modePicker"));
    {
        QVBoxLayout *box = w->modePicker->contentLayout();
        box->addWidget(text(QStringLiteral("Operation Mode"), TextStyles::headline(), {}, true));
        auto *segments = new QWidget;
        segments->setAccessibleName(QStringLiteral("Action Mode"));
        segments->setMaximumWidth(360);
        QHBoxLayout *segmentRow = row(0);
        segments->setLayout(segmentRow);
        auto *group = new QButtonGroup(segments);
        const auto segment = [&](const QString &label, const QString &name, bool left) {
            auto *b = new FittingButton;
            b->setFullText(label);
            b->setObjectName(name);
            b->setCheckable(true);
            b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
            const QString corners = left ? QStringLiteral("border-top-left-radius: 6px; "
                                                          "border-bottom-left-radius: 6px;")
                                         : QStringLiteral("border-top-right-radius: 6px; "
                                                          "border-bottom-right-radius: 6px;");
            b->setStyleSheet(
                QStringLiteral("QPushButton { padding: 3px 8px; border: 1px solid %1; %2 "
                               "background: %3; }"
                               "QPushButton:checked { background: %4; color: white; }")
                    .arg(Palette::css(Palette::separator()), corners,
                         Palette::css(QApplication::palette().color(QPalette::Button)),
                         Palette::css(Controls::accent())));
            group->addButton(b);
            segmentRow->addWidget(b);
            return b;
        };
        w->offloadMode = segment(QStringLiteral("Offload (Move & Link)"),
                                 QStringLiteral("offloadModeButton"), true);
        w->copyMode =
            segment(QStringLiteral("Copy Only (Backup)"), QStringLiteral("copyModeButton"), false);
        connect(w->offloadMode, &QPushButton::clicked, this, [this] { setCopyOnly(false); });
        connect(w->copyMode, &QPushButton::clicked, this, [this] { setCopyOnly(true); });
        box->addWidget(segments);
        w->modeDescription = named(text({}, TextStyles::caption(), Palette::secondaryText(), true),
                                   QStringLiteral("modeDescription"));
        box->addWidget(w->modeDescription);
    }
    into->addWidget(w->modePicker);

    const auto noticeRow = [](RoundedPanel *notice, const QString &symbolName, const QColor &tint,
                              const QString &title, QLabel *&detail, const QString &detailName) {
        const LeadRow line = leadRow(notice->contentLayout(), 10);
        line.lead->addWidget(symbol(symbolName, 18, tint), 0, Qt::AlignVCenter);
        auto *texts = new QVBoxLayout;
        texts->setSpacing(2);
        texts->addWidget(text(title, bold(TextStyles::subheadline()), {}, true));
        detail = named(text({}, TextStyles::caption(), Palette::secondaryText(), true), detailName);
        texts->addWidget(detail);
        line.lead->addLayout(texts, 1);
        return line;
    };
    w->protectedNotice =
        panel(Palette::secondaryText(), 0.10, 8, QStringLiteral("protectedNotice"));
    noticeRow(w->protectedNotice, QStringLiteral("shield.fill"), Palette::secondaryText(),
              QStringLiteral("Protected Application"), w->protectedReason,
              QStringLiteral("protectedReason"));
    into->addWidget(w->protectedNotice);

    w->runningNotice = panel(Palette::purple(), 0.10, 8, QStringLiteral("runningNotice"));
    const LeadRow running =
        noticeRow(w->runningNotice, QStringLiteral("exclamationmark.triangle.fill"),
                  Palette::purple(), QStringLiteral("Application is currently running"),
                  w->runningLine, QStringLiteral("runningLine"));
    w->terminate = button(QStringLiteral("Terminate App"), {}, ButtonLook::bordered);
    w->terminate->setObjectName(QStringLiteral("terminateButton"));
    connect(w->terminate, &QPushButton::clicked, this, [this] { terminateApp(); });
    running.flow->addWidget(w->terminate);
    into->addWidget(w->runningNotice);
}

void AppDetailView::buildSupportFolders(QVBoxLayout *into)
{
    w->folders = new QWidget;
    w->folders->setObjectName(QStringLiteral("supportFoldersSection"));
    auto *section = new QVBoxLayout(w->folders);
    section->setContentsMargins(0, 0, 0, 0);
    section->setSpacing(10);
    section->addWidget(
        text(QStringLiteral("Application Support Folders"), TextStyles::headline(), {}, true));
    section->addWidget(text(QStringLiteral("Associated data files that can be offloaded or "
                                           "backed up with this application:"),
                            TextStyles::caption(), Palette::secondaryText(), true));
    auto *box = new RoundedPanel(Palette::controlBackground());
    w->folderRows = box->contentLayout();
    section->addWidget(box);
    w->sharedNameNote = text({}, TextStyles::caption(), Palette::orange(), true);
    w->sharedNameNote->setObjectName(QStringLiteral("sharedNameNote"));
    section->addWidget(w->sharedNameNote);
    into->addWidget(w->folders);
}

void AppDetailView::buildStorage(QVBoxLayout *into)
{
    auto *section = new QWidget;
    section->setObjectName(QStringLiteral("storageSection"));
    auto *layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    layout->addWidget(
        text(QStringLiteral("Storage Calculation"), TextStyles::headline(), {}, true));
    auto *box = new RoundedPanel(Palette::controlBackground());
    box->contentLayout()->setSpacing(6);
    w->storageRows = box->contentLayout();
    layout->addWidget(box);
    into->addWidget(section);

    w->incompatible = panel(Palette::orange(), 0.12, 8, QStringLiteral("incompatibleWarning"));
    QHBoxLayout *line = row(10, w->incompatible->contentLayout());
    line->addWidget(symbol(QStringLiteral("exclamationmark.triangle.fill"), 20, Palette::orange()),
                    0, Qt::AlignVCenter);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    w->incompatibleTitle = named(text({}, bold(TextStyles::subheadline()), Palette::orange(), true),
                                 QStringLiteral("incompatibleTitle"));
    texts->addWidget(w->incompatibleTitle);
    w->incompatibleReason = named(text({}, TextStyles::caption(), Palette::secondaryText(), true),
                                  QStringLiteral("incompatibleReason"));
    texts->addWidget(w->incompatibleReason);
    line->addLayout(texts, 1);
    into->addWidget(w->incompatible);
}

void AppDetailView::buildActionBar(QVBoxLayout *into)
{
    // The main action keeps to the right; in a narrow column a button moves to the next line
    // instead of shortening its text or pushing the content past the edge.
    auto *barWidget = new QWidget;
    auto *bar = new FlowLayout(barWidget, 12, 10);
    bar->setContentsMargins(0, 0, 0, 0);
    bar->setLastItemTrailing(true);
    w->revealInFinder = button(QStringLiteral("Reveal in Finder"), {}, ButtonLook::bordered,
                               ControlSize::large, QColor(), QStringLiteral("folder"));
    w->revealInFinder->setObjectName(QStringLiteral("revealInFinderButton"));
    connect(w->revealInFinder, &QPushButton::clicked, this,
            [this] { System::current().workspace().reveal({m_binding->value().id()}); });
    bar->addWidget(w->revealInFinder);
    w->revealOnDrive = button(QStringLiteral("Reveal on Drive"), {}, ButtonLook::bordered,
                              ControlSize::large, QColor(), QStringLiteral("externaldrive"));
    w->revealOnDrive->setObjectName(QStringLiteral("revealOnDriveButton"));
    connect(w->revealOnDrive, &QPushButton::clicked, this, [this] {
        // The path as the bar showed it when it was drawn.
        if (m_model.revealOnDrivePath)
            System::current().workspace().reveal({*m_model.revealOnDrivePath});
    });
    bar->addWidget(w->revealOnDrive);
    w->mainAction = button({}, {}, ButtonLook::prominent, ControlSize::large);
    w->mainAction->setObjectName(QStringLiteral("mainActionButton"));
    connect(w->mainAction, &QPushButton::clicked, this, &AppDetailView::runMainAction);
    bar->addWidget(w->mainAction);
    into->addWidget(barWidget);
}

// ---------------------------------------------------------------------------------------
// Applying the model

void AppDetailView::apply()
{
    applyHeader();
    applyBanners();
    applyProxySections();
    applyModeAndNotices();
    applySupportFolders();
    applyStorage();
    applyActionBar();
}

void AppDetailView::applyHeader()
{
    const Model::Header &h = m_model.header;
    w->icon->setPixmap(appIcon(h.iconPath, 64, h.showLinkBadge, 13, 3.5, 3));
    w->name->setText(h.name);
    w->status->setText(h.status.text);
    Pill::Style style = Pill::tinted(h.status.color, h.status.fillOpacity);
    style.bold = true;
    w->status->setStyle(style);
    w->status->setFont(systemFont(11, QFont::DemiBold));
    w->identifier->setVisible(h.identifier.has_value());
    w->identifier->setText(h.identifier.value_or(QString()));
    w->version->setVisible(h.versionLine.has_value());
    w->version->setText(h.versionLine.value_or(QString()));
    w->driveRow->setVisible(h.showDriveRows);
    w->localRow->setVisible(h.showDriveRows);
    w->plainPath->setVisible(!h.showDriveRows);
    if (h.showDriveRows) {
        setSymbol(w->driveSymbol, QStringLiteral("externaldrive.fill"), 14, h.driveSymbolColor);
        w->drivePath->setFullText(h.drivePath);
        setSymbol(w->localSymbol, h.localSymbol, 14, Palette::secondaryText());
        w->localLabel->setText(h.localLabel);
        w->localPath->setFullText(h.localPath);
    } else {
        w->plainPath->setFullText(h.localPath);
    }
}

void AppDetailView::applyBanners()
{
    w->updateReplaced->setVisible(m_model.updateReplaced.has_value());
    if (const auto &banner = m_model.updateReplaced) {
        w->updateReplacedText->setText(banner->text);
        w->newLocalVersion->setText(banner->localVersion);
        w->previousDriveGroup->setVisible(banner->driveVersion.has_value());
        w->previousDriveVersion->setText(banner->driveVersion.value_or(QString()));
    }
    w->outOfSync->setVisible(m_model.outOfSync.has_value());
    if (const auto &banner = m_model.outOfSync) {
        w->macVersion->setText(banner->macVersion);
        w->driveBackupVersion->setText(banner->driveVersion);
    }
    w->aliases->setVisible(m_model.redundantAliases.has_value());
    const QStringList paths =
        m_model.redundantAliases ? m_model.redundantAliases->paths : QStringList();
    if (m_model.redundantAliases)
        w->aliasesTitle->setText(m_model.redundantAliases->title);
    if (paths == w->shownAliases)
        return;
    w->shownAliases = paths;
    clearLayout(w->aliasRows);
    for (const QString &path : paths) {
        QHBoxLayout *line = row(8, w->aliasRows);
        line->setContentsMargins(0, 2, 0, 2);
        line->addWidget(symbol(QStringLiteral("link.badge.plus"), 12, Palette::secondaryText()));
        SelectableLabel *label =
            pathLabel(monospacedFont(11), Palette::secondaryText(), QStringLiteral("aliasPath"));
        label->setFullText(path);
        line->addWidget(label, 1);
        auto *trash = new QToolButton;
        trash->setObjectName(QStringLiteral("removeDuplicateButton"));
        trash->setProperty("aliasPath", path);
        trash->setAutoRaise(true);
        trash->setIcon(Symbols::icon(QStringLiteral("trash"), Palette::red()));
        trash->setToolTip(path);
        connect(trash, &QToolButton::clicked, this, [this, path] {
            if (m_onRemoveSingleDuplicate)
                m_onRemoveSingleDuplicate(path);
        });
        line->addWidget(trash);
    }
}

void AppDetailView::applyProxySections()
{
    w->promotion->setVisible(m_model.promotion.has_value());
    if (const auto &p = m_model.promotion) {
        w->promotionTitle->setText(p->title);
        w->alreadyAtRoot->setVisible(p->rootCopyExists);
        w->promote->setVisible(!p->rootCopyExists);
        w->promote->setEnabled(p->buttonEnabled);
        w->promotionExplanation->setText(p->explanation);
        w->promotionNotice->setVisible(p->notice.has_value());
        if (p->notice) {
            w->promotionNotice->setText(p->notice->text);
            setTextColor(w->promotionNotice, p->notice->color);
        }
    }
    w->proxy->setVisible(m_model.proxy.has_value());
    if (const auto &p = m_model.proxy) {
        w->proxyTitle->setText(p->title);
        setButtonText(w->proxyButton, p->buttonText);
        w->proxyButton->setEnabled(p->buttonEnabled);
        w->proxyExplanation->setText(p->explanation);
        w->proxyNotice->setVisible(p->notice.has_value());
        if (p->notice) {
            w->proxyNotice->setText(p->notice->text);
            setTextColor(w->proxyNotice, p->notice->color);
        }
    }
}

void AppDetailView::applyModeAndNotices()
{
    w->modePicker->setVisible(m_model.modePicker.has_value());
    if (const auto &picker = m_model.modePicker) {
        w->offloadMode->setChecked(!picker->isCopyOnly);
        w->copyMode->setChecked(picker->isCopyOnly);
        w->modeDescription->setText(picker->description);
    }
    w->protectedNotice->setVisible(m_model.statusNotice == Model::StatusNotice::protected_);
    w->protectedReason->setText(m_model.protectedReason);
    w->runningNotice->setVisible(m_model.statusNotice == Model::StatusNotice::running);
    w->runningLine->setText(m_model.runningLine);
    setButtonText(w->terminate, m_model.terminate.buttonText);
    w->terminate->setEnabled(m_model.terminate.enabled);
}

void AppDetailView::applySupportFolders()
{
    w->folders->setVisible(m_model.supportFolders.has_value());
    w->sharedNameNote->setText(m_model.sharedNameNote.value_or(QString()));
    w->sharedNameNote->setVisible(m_model.sharedNameNote.has_value());
    const QList<Model::FolderRow> rows = m_model.supportFolders.value_or(QList<Model::FolderRow>());
    QStringList paths;
    for (const Model::FolderRow &r : rows)
        paths.append(r.path);
    if (paths != w->shownFolders) {
        // Only a different set of folders rebuilds the rows, so a toggle never destroys itself.
        w->shownFolders = paths;
        w->folderWidgets.clear();
        clearLayout(w->folderRows);
        for (const Model::FolderRow &r : rows) {
            auto *toggle = new QCheckBox;
            toggle->setObjectName(QStringLiteral("supportFolderToggle"));
            toggle->setProperty("folderPath", r.path);
            auto *line = new ToggleRow(toggle);
            QHBoxLayout *layout = row(8);
            line->setLayout(layout);
            layout->addWidget(toggle, 0, Qt::AlignVCenter);
            auto *texts = new QVBoxLayout;
            texts->setSpacing(2);
            QLabel *name = text({}, systemFont(12, QFont::Medium), {}, true);
            // Elided rather than wrapped: a long path has no place to break.
            SelectableLabel *path =
                pathLabel(TextStyles::caption2(), Palette::secondaryText(), QString());
            texts->addWidget(name);
            texts->addWidget(path);
            layout->addLayout(texts, 1);
            QLabel *size = text({}, TextStyles::caption(), Palette::secondaryText(), true);
            size->setWordWrap(false);
            size->setObjectName(QStringLiteral("supportFolderSize"));
            layout->addWidget(size, 0, Qt::AlignVCenter);
            const QString folderPath = r.path;
            connect(toggle, &QCheckBox::clicked, this, [this, folderPath](bool checked) {
                m_binding->setSupportFolderSelected(folderPath, checked);
                refresh();
            });
            w->folderRows->addWidget(line);
            w->folderWidgets.append({toggle, name, path, size});
        }
    }
    for (qsizetype i = 0; i < rows.size() && i < w->folderWidgets.size(); ++i) {
        const Widgets::FolderRow &fw = w->folderWidgets.at(i);
        const QSignalBlocker blocker(fw.toggle);
        fw.toggle->setChecked(rows.at(i).checked);
        fw.toggle->setEnabled(rows.at(i).enabled);
        fw.name->setText(rows.at(i).displayName);
        fw.path->setFullText(rows.at(i).path);
        fw.size->setText(rows.at(i).sizeText);
    }
}

void AppDetailView::applyStorage()
{
    clearLayout(w->storageRows);
    for (const Model::StorageRow &r : std::as_const(m_model.storage)) {
        if (r.isDivider) {
            w->storageRows->addWidget(divider());
            continue;
        }
        QFont labelFont = TextStyles::subheadline();
        QColor labelColor;
        QColor valueColor = r.valueColor;
        switch (r.style) {
        case Model::RowStyle::plain:
            break;
        case Model::RowStyle::secondary:
            labelColor = Palette::secondaryText();
            valueColor = Palette::secondaryText();
            break;
        case Model::RowStyle::total:
        case Model::RowStyle::reclaimed:
            labelFont = withWeight(TextStyles::body(), QFont::DemiBold);
            break;
        }
        QHBoxLayout *line = row(8, w->storageRows);
        QLabel *label = text(r.label, labelFont, labelColor, true);
        label->setObjectName(QStringLiteral("storageLabel"));
        line->addWidget(label, 1);
        QLabel *value = text(r.value, labelFont, valueColor, true);
        value->setWordWrap(false);
        value->setObjectName(QStringLiteral("storageValue"));
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        line->addWidget(value);
    }
    w->incompatible->setVisible(m_model.incompatible.has_value());
    if (const auto &warning = m_model.incompatible) {
        w->incompatibleTitle->setText(warning->title);
        w->incompatibleReason->setText(warning->reason);
    }
}

void AppDetailView::applyActionBar()
{
    w->revealOnDrive->setVisible(m_model.revealOnDrivePath.has_value());
    const Model::MainAction &action = m_model.mainAction;
    restyle(w->mainAction, action.text, ButtonLook::prominent, ControlSize::large, action.tint,
            action.symbol);
    w->mainAction->setEnabled(action.enabled);
}

// ---------------------------------------------------------------------------------------
// Actions

void AppDetailView::setCopyOnly(bool copyOnly)
{
    m_state.isCopyOnly = copyOnly;
    refresh();
}

void AppDetailView::runMainAction()
{
    // The item as it is now, with the current support-folder choice.
    const AppItem app = m_binding->value();
    switch (m_model.mainAction.kind) {
    case Model::MainActionKind::reoffload:
        if (m_onReoffloadUpdate)
            m_onReoffloadUpdate(app);
        break;
    case Model::MainActionKind::updateBackup:
        if (m_onUpdateBackup)
            m_onUpdateBackup(app);
        break;
    case Model::MainActionKind::copy:
        if (m_onStartOffload)
            m_onStartOffload(app, true);
        break;
    case Model::MainActionKind::offload:
        if (m_onStartOffload)
            m_onStartOffload(app, false);
        break;
    case Model::MainActionKind::restore:
        if (m_onStartRestore)
            m_onStartRestore(app);
        break;
    }
}

QCoro::Task<> AppDetailView::runProxyJob(ProxyJob job)
{
    const bool promotion = job == ProxyJob::promotion;
    std::optional<ProxyJobGuard::Lease> lease = ProxyJobGuard::shared().tryAcquire();
    if (!lease) {
        m_state.proxyNotice = ProxyJobGuard::refusalNotice();
        refresh();
        co_return;
    }
    m_state.isGeneratingProxy = true;
    m_state.proxyNotice.reset();
    refresh();

    QPointer<AppDetailView> self(this);
    const AppItem app = m_binding->value();
    // Signing and registration take seconds; the window keeps drawing meanwhile. (Futures
    // are named before they are awaited: g++ 12 destroys temporaries of a co_await twice.)
    const QFuture<std::optional<QString>> work =
        QtConcurrent::run([app]() -> std::optional<QString> {
            try {
                (void)AppProxyHelper::promoteToRootApplications(app);
                return std::nullopt;
            } catch (const std::exception &failure) {
                return QString::fromUtf8(failure.what());
            } catch (...) {
                return QStringLiteral("Unknown error");
            }
        });
    const std::optional<QString> error = co_await work;
    lease.reset();
    if (!self)
        co_return;
    m_state.isGeneratingProxy = false;
    if (error)
        m_state.proxyNotice = promotion ? AppDetailPresenter::promotionFailureNotice(*error)
                                        : AppDetailPresenter::proxyFailureNotice(*error);
    else
        m_state.proxyNotice = promotion ? AppDetailPresenter::promotionSuccessNotice()
                                        : AppDetailPresenter::proxySuccessNotice();
    refresh();
    if (!error && m_onProxyCreated)
        m_onProxyCreated();
}

QCoro::Task<> AppDetailView::terminateApp()
{
    if (m_state.isAwaitingQuit)
        co_return;
    const QStringList bundles = quitTargets(m_binding->value());
    const QuitPolling polling = m_quitPolling;
    m_state.isAwaitingQuit = true;
    refresh();

    QPointer<AppDetailView> self(this);
    const QFuture<void> requests = QtConcurrent::run([bundles] {
        for (const QString &bundle : bundles)
            System::current().workspace().requestQuit(bundle);
    });
    co_await requests;
    // The running flag falls only once the platform no longer lists the application, so a
    // refused quit can never open the way to an offload of a running application.
    for (int attempt = 0; attempt < polling.attempts; ++attempt) {
        const QCoro::Task<> pause = QCoro::sleepFor(polling.interval);
        co_await pause;
        if (!self)
            co_return;
        const QFuture<bool> check = QtConcurrent::run([bundles] { return anyRunning(bundles); });
        const bool running = co_await check;
        if (!self)
            co_return;
        if (!running) {
            m_binding->setRunning(false);
            break;
        }
    }
    if (!self)
        co_return;
    m_state.isAwaitingQuit = false;
    refresh();
}
