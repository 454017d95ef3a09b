#include "views/main/VolumeToolbarView.h"

#include "platform/System.h"
#include "views/kit/Controls.h"
#include "views/kit/Palette.h"
#include "views/kit/Symbols.h"
#include "volumes/VolumeManager.h"

#include <QCoroFuture>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QStyleOptionToolButton>
#include <QVBoxLayout>

using namespace Controls;

namespace {

constexpr int capacitySteps = 1000;

QString actionName(VolumeMenuRow::Kind kind)
{
    switch (kind) {
    case VolumeMenuRow::Kind::note:
        return QStringLiteral("noDrivesNote");
    case VolumeMenuRow::Kind::volume:
        return QStringLiteral("volumeRow");
    case VolumeMenuRow::Kind::customFolder:
        return QStringLiteral("customFolderRow");
    case VolumeMenuRow::Kind::chooseFolder:
        return QStringLiteral("chooseFolderAction");
    case VolumeMenuRow::Kind::refresh:
        return QStringLiteral("refreshDrivesAction");
    case VolumeMenuRow::Kind::eject:
        return QStringLiteral("ejectAction");
    case VolumeMenuRow::Kind::section:
    case VolumeMenuRow::Kind::divider:
        break;
    }
    return {};
}

// The panel's explanation above its file view: the non-native dialog has no message line of
// its own, so its grid moves down one row.
void addMessage(QFileDialog *panel, const QString &message)
{
    auto *grid = qobject_cast<QGridLayout *>(panel->layout());
    if (!grid)
        return;
    struct Placed
    {
        QLayoutItem *item;
        int row, column, rowSpan, columnSpan;
    };
    QList<Placed> placed;
    for (int i = grid->count() - 1; i >= 0; --i) {
        Placed p{nullptr, 0, 0, 0, 0};
        grid->getItemPosition(i, &p.row, &p.column, &p.rowSpan, &p.columnSpan);
        p.item = grid->takeAt(i);
        placed.prepend(p);
    }
    auto *label = new QLabel(message, panel);
    label->setObjectName(QStringLiteral("panelMessage"));
    label->setWordWrap(true);
    grid->addWidget(label, 0, 0, 1, -1);
    for (const Placed &p : std::as_const(placed))
        grid->addItem(p.item, p.row + 1, p.column, p.rowSpan, p.columnSpan);
}

} // namespace

VolumeToolbarView::VolumeToolbarView(VolumeManager *volumeManager, QWidget *parent)
    : QToolButton(parent)
    , m_manager(volumeManager)
    , m_eject([volumeManager](const TargetVolume &volume) {
        return volumeManager->safelyEject(volume);
    })
{
    setObjectName(QStringLiteral("volumeToolbar"));
    setPopupMode(QToolButton::InstantPopup);
    setAutoRaise(true);
    setCursor(Qt::PointingHandCursor);
    m_menu = new QMenu(this);
    m_menu->setObjectName(QStringLiteral("driveMenu"));
    setMenu(m_menu);
    // Rows stay as they were while the menu is open, so they are made anew as it opens.
    connect(m_menu, &QMenu::aboutToShow, this, &VolumeToolbarView::rebuildMenu);
    build();
    connect(m_manager, &VolumeManager::availableVolumesChanged, this, &VolumeToolbarView::refresh);
    connect(m_manager, &VolumeManager::selectedVolumeChanged, this, &VolumeToolbarView::refresh);
    connect(m_manager, &VolumeManager::customTargetChanged, this, &VolumeToolbarView::refresh);
    refresh();
}

void VolumeToolbarView::setEjectOperation(EjectOperation eject)
{
    m_eject = std::move(eject);
}

void VolumeToolbarView::build()
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(9, 4, 9, 4);
    row->setSpacing(8);
    m_drive = new QLabel(this);
    row->addWidget(m_drive, 0, Qt::AlignVCenter);

    auto *lines = new QVBoxLayout;
    lines->setSpacing(1);
    auto *first = new QHBoxLayout;
    first->setSpacing(4);
    m_caption = Controls::text({}, systemFont(10), Palette::secondaryText(), false,
                               Qt::AlignLeft | Qt::AlignVCenter, this);
    m_caption->setObjectName(QStringLiteral("targetCaption"));
    first->addWidget(m_caption, 0, Qt::AlignBaseline);
    m_title = Controls::text({}, systemFont(12, QFont::DemiBold), {}, false,
                             Qt::AlignLeft | Qt::AlignVCenter, this);
    m_title->setObjectName(QStringLiteral("targetTitle"));
    first->addWidget(m_title, 0, Qt::AlignBaseline);
    first->addStretch(1);
    lines->addLayout(first);

    // Without a target, "No Drive Selected" stands under the caption.
    m_noTarget = Controls::text({}, systemFont(12, QFont::Medium), {}, false,
                                Qt::AlignLeft | Qt::AlignVCenter, this);
    m_noTarget->setObjectName(QStringLiteral("noTargetTitle"));
    lines->addWidget(m_noTarget);

    m_freeLine = new QWidget(this);
    auto *second = new QHBoxLayout(m_freeLine);
    second->setContentsMargins(0, 0, 0, 0);
    second->setSpacing(6);
    m_free = Controls::text({}, systemFont(10), Palette::secondaryText(), false,
                            Qt::AlignLeft | Qt::AlignVCenter, m_freeLine);
    m_free->setObjectName(QStringLiteral("targetFree"));
    second->addWidget(m_free, 0, Qt::AlignVCenter);
    m_capacity = new QProgressBar(m_freeLine);
    m_capacity->setObjectName(QStringLiteral("capacityBar"));
    m_capacity->setRange(0, capacitySteps);
    m_capacity->setTextVisible(false);
    m_capacity->setFixedSize(50, 5);
    second->addWidget(m_capacity, 0, Qt::AlignVCenter);
    second->addStretch(1);
    lines->addWidget(m_freeLine);
    row->addLayout(lines);

    row->addWidget(
        symbol(QStringLiteral("chevron.up.chevron.down"), 9, Palette::secondaryText(), this), 0,
        Qt::AlignVCenter);
    // Clicks anywhere on the control open the menu.
    const QList<QWidget *> children = findChildren<QWidget *>();
    for (QWidget *child : children)
        child->setAttribute(Qt::WA_TransparentForMouseEvents);
}

void VolumeToolbarView::refresh()
{
    if (!m_manager)
        return;
    m_label = ToolbarPresenter::volumeLabel(m_manager->selectedVolume());
    setSymbol(m_drive, QStringLiteral("externaldrive.fill"), 16, m_label.driveTint);
    m_caption->setText(m_label.caption);
    m_title->setVisible(m_label.hasTarget);
    m_title->setText(m_label.hasTarget ? m_label.title : QString());
    m_noTarget->setVisible(!m_label.hasTarget);
    m_noTarget->setText(m_label.hasTarget ? QString() : m_label.title);
    if (!m_label.hasTarget)
        setTextColor(m_noTarget, m_label.titleColor);
    m_freeLine->setVisible(m_label.freeText.has_value());
    m_free->setText(m_label.freeText.value_or(QString()));
    m_capacity->setValue(int(m_label.usage * capacitySteps));
    setToolTip(m_label.title);
    updateGeometry();
    rebuildMenu();
}

void VolumeToolbarView::rebuildMenu()
{
    m_rows = ToolbarPresenter::volumeMenu(m_manager->availableVolumes(),
                                          m_manager->selectedVolume(), m_manager->customTarget());
    // An open menu keeps its rows until it closes; the next change rebuilds it.
    if (m_menu->isVisible())
        return;
    m_menu->clear();
    for (const VolumeMenuRow &row : std::as_const(m_rows)) {
        using Kind = VolumeMenuRow::Kind;
        if (row.kind == Kind::divider) {
            m_menu->addSeparator();
            continue;
        }
        if (row.kind == Kind::section) {
            m_menu->addSection(literalText(row.text));
            continue;
        }
        QAction *action = m_menu->addAction(literalText(row.text));
        action->setObjectName(actionName(row.kind));
        if (!row.symbol.isEmpty())
            action->setIcon(Symbols::icon(row.symbol));
        if (row.volume)
            action->setData(row.volume->id());
        switch (row.kind) {
        case Kind::note:
            action->setEnabled(false);
            break;
        case Kind::volume:
            connect(action, &QAction::triggered, this,
                    [this, volume = *row.volume] { chooseVolume(volume); });
            break;
        case Kind::customFolder:
            connect(action, &QAction::triggered, this, [this, volume = *row.volume] {
                if (m_manager)
                    m_manager->setSelectedVolume(volume);
            });
            break;
        case Kind::chooseFolder:
            connect(action, &QAction::triggered, this, &VolumeToolbarView::chooseFolder);
            break;
        case Kind::refresh:
            connect(action, &QAction::triggered, this, [this] {
                if (m_manager)
                    m_manager->refreshVolumes();
            });
            break;
        case Kind::eject:
            connect(action, &QAction::triggered, this,
                    [this, volume = *row.volume] { eject(volume); });
            break;
        case Kind::section:
        case Kind::divider:
            break;
        }
    }
}

void VolumeToolbarView::chooseVolume(const TargetVolume &volume)
{
    if (!m_manager)
        return;
    const QList<TargetVolume> listed = m_manager->availableVolumes();
    const bool connected = std::any_of(listed.cbegin(), listed.cend(), [&](const TargetVolume &v) {
        return v.id() == volume.id();
    });
    if (connected) {
        m_manager->selectVolume(volume);
        return;
    }
    showWarning(m_goneAlert, QStringLiteral("driveGoneAlert"), ToolbarPresenter::driveGoneTitle,
                ToolbarPresenter::driveGoneMessage(volume.name));
}

void VolumeToolbarView::chooseFolder()
{
    if (m_panel) {
        m_panel->raise();
        return;
    }
    auto *panel = new QFileDialog(window());
    panel->setObjectName(QStringLiteral("targetFolderPanel"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    panel->setWindowTitle(ToolbarPresenter::folderPanelPrompt);
    panel->setOption(QFileDialog::DontUseNativeDialog);
    panel->setOption(QFileDialog::ShowDirsOnly);
    panel->setFileMode(QFileDialog::Directory);
    panel->setAcceptMode(QFileDialog::AcceptOpen);
    panel->setLabelText(QFileDialog::Accept, ToolbarPresenter::folderPanelPrompt);
    panel->setDirectory(System::current().paths().volumesRoot);
    addMessage(panel, ToolbarPresenter::folderPanelMessage);
    connect(panel, &QFileDialog::urlSelected, this, [this](const QUrl &url) {
        if (!m_manager || !url.isValid() || url.isEmpty())
            return;
        if (const std::optional<QString> refusal = m_manager->selectCustomDirectory(url))
            showFolderRefused(*refusal);
    });
    m_panel = panel;
    panel->open();
}

void VolumeToolbarView::showFolderRefused(const QString &message)
{
    showWarning(m_refusedAlert, QStringLiteral("folderRefusedAlert"),
                ToolbarPresenter::folderRefusedTitle, message);
}

void VolumeToolbarView::showWarning(QPointer<QMessageBox> &slot, const QString &objectName,
                                    const QString &title, const QString &message)
{
    // One alert of a kind at a time: a newer one replaces the one still open.
    if (slot)
        slot->close();
    auto *alert = new QMessageBox(QMessageBox::Warning, title, message, QMessageBox::Ok, window());
    alert->setObjectName(objectName);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    alert->setEscapeButton(QMessageBox::Ok);
    slot = alert;
    alert->open();
}

QCoro::Task<> VolumeToolbarView::eject(TargetVolume volume)
{
    QPointer<VolumeToolbarView> self(this);
    const EjectResult result = co_await m_eject(volume);
    if (!self)
        co_return;
    if (!result.success) {
        m_ejectAlertMessage = result.errorMessage;
        auto *alert = new QMessageBox(QMessageBox::Warning, ToolbarPresenter::ejectAlertTitle,
                                      ToolbarPresenter::ejectAlertMessage(result.errorMessage),
                                      QMessageBox::Ok, window());
        alert->setObjectName(QStringLiteral("ejectAlert"));
        alert->setAttribute(Qt::WA_DeleteOnClose);
        alert->setWindowModality(Qt::WindowModal);
        alert->setEscapeButton(QMessageBox::Ok);
        m_alert = alert;
        alert->open();
    }
    emit ejectFinished();
}

QSize VolumeToolbarView::sizeHint() const
{
    return layout()->totalSizeHint();
}

QSize VolumeToolbarView::minimumSizeHint() const
{
    return layout()->totalMinimumSize();
}

void VolumeToolbarView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = Palette::controlBackground();
    if (isDown() || m_menu->isVisible())
        fill = fill.darker(108);
    else if (underMouse())
        fill = fill.darker(103);
    painter.setPen(QPen(Palette::withOpacity(Palette::separator(), 0.5), 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
}
