#include "views/inspectors/BatchInspectorView.h"

#include "views/kit/Controls.h"
#include "views/kit/FlowLayout.h"
#include "views/kit/Palette.h"
#include "views/kit/Pill.h"
#include "views/kit/RoundedPanel.h"
#include "views/kit/TextStyles.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Controls;

namespace {

QFont bold(QFont font)
{
    font.setBold(true);
    return font;
}

QWidget *section(int spacing, QVBoxLayout *&layout)
{
    auto *widget = new QWidget;
    layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return widget;
}

} // namespace

BatchInspectorView::BatchInspectorView(QList<AppItem> apps,
                                       std::optional<TargetVolume> targetVolume,
                                       std::function<void(bool)> onOffload,
                                       std::function<void()> onRestore,
                                       std::function<void()> onCleanDuplicates,
                                       AppsAction onMakeVisibleInApps, AppsAction onPromoteToRoot,
                                       QWidget *parent)
    : QScrollArea(parent)
    , m_apps(std::move(apps))
    , m_targetVolume(std::move(targetVolume))
    , m_onOffload(std::move(onOffload))
    , m_onRestore(std::move(onRestore))
    , m_onCleanDuplicates(std::move(onCleanDuplicates))
    , m_onMakeVisibleInApps(std::move(onMakeVisibleInApps))
    , m_onPromoteToRoot(std::move(onPromoteToRoot))
{
    setObjectName(QStringLiteral("batchInspectorView"));
    m_model =
        BatchInspectorPresenter::present(m_apps, BatchItemFacts::read(m_apps), m_targetVolume);
    m_nestedApps = BatchInspectorPresenter::nestedApps(m_apps);
    build();
}

void BatchInspectorView::build()
{
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *content = new QWidget;
    auto *stack = new QVBoxLayout(content);
    stack->setContentsMargins(24, 24, 24, 24);
    stack->setSpacing(20);

    // Header
    QHBoxLayout *header = row(16, stack);
    header->addWidget(symbol(QStringLiteral("square.stack.3d.up.fill"), 48, Controls::accent()));
    auto *titles = new QVBoxLayout;
    titles->setSpacing(4);
    QLabel *title = text(m_model.title, bold(TextStyles::title2()), {}, true);
    title->setObjectName(QStringLiteral("batchTitle"));
    titles->addWidget(title);
    QLabel *total =
        text(m_model.totalSpace, TextStyles::subheadline(), Palette::secondaryText(), true);
    total->setObjectName(QStringLiteral("totalSpace"));
    titles->addWidget(total);
    header->addLayout(titles, 1);
    stack->addWidget(divider());

    // Selection summary
    auto *summary = new RoundedPanel(Palette::controlBackground());
    summary->setObjectName(QStringLiteral("selectionSummary"));
    summary->contentLayout()->addWidget(
        text(QStringLiteral("Selection Summary"), TextStyles::headline(), {}, true));
    // The chips wrap onto another line rather than shorten in a narrow column.
    auto *chipStrip = new QWidget;
    auto *chips = new FlowLayout(chipStrip, 12, 8);
    chips->setContentsMargins(0, 0, 0, 0);
    for (const BatchInspectorModel::Chip &chip : std::as_const(m_model.chips)) {
        auto *pill =
            new Pill(chip.label, Pill::Style{chip.color, Palette::withOpacity(chip.color, 0.15), 8,
                                             4, 6, TextStyles::caption().pointSize(), false});
        pill->setLead(QString::number(chip.count));
        pill->setElidable(true);
        pill->setObjectName(QStringLiteral("summaryChip"));
        pill->setProperty("chipLabel", chip.label);
        pill->setProperty("chipCount", qlonglong(chip.count));
        chips->addWidget(pill);
    }
    summary->contentLayout()->addWidget(chipStrip);
    stack->addWidget(summary);

    // Selected apps
    QVBoxLayout *listSection = nullptr;
    stack->addWidget(section(8, listSection));
    listSection->addWidget(text(QStringLiteral("Selected Apps"), TextStyles::headline(), {}, true));
    auto *list = new RoundedPanel(Palette::controlBackground(), nullptr, 8, 10);
    list->setObjectName(QStringLiteral("selectedAppsList"));
    list->contentLayout()->setSpacing(4);
    for (const BatchInspectorModel::Row &r : std::as_const(m_model.rows)) {
        auto *line = new QWidget;
        line->setObjectName(QStringLiteral("selectedAppRow"));
        line->setProperty("appId", r.id);
        QHBoxLayout *layout = row(8);
        layout->setContentsMargins(0, 3, 0, 3);
        line->setLayout(layout);
        QLabel *name = Pill::line(r.name, systemFont(12, QFont::Medium));
        layout->addWidget(name, 1);
        QLabel *status = text(r.statusLabel, bold(TextStyles::caption2()), r.statusColor, true);
        status->setObjectName(QStringLiteral("rowStatus"));
        status->setWordWrap(false);
        layout->addWidget(status);
        QLabel *size = text(r.sizeText, TextStyles::caption2(), Palette::secondaryText(), true);
        size->setWordWrap(false);
        layout->addWidget(size);
        list->contentLayout()->addWidget(line);
    }
    listSection->addWidget(list);
    stack->addWidget(divider());

    // Batch actions
    QVBoxLayout *actions = nullptr;
    stack->addWidget(section(12, actions));
    actions->addWidget(text(QStringLiteral("Batch Actions"), TextStyles::headline(), {}, true));
    if (m_model.restoreButton) {
        auto *block = new RoundedPanel(Palette::withOpacity(Palette::green(), 0.10));
        block->contentLayout()->setSpacing(6);
        QPushButton *restore =
            button(*m_model.restoreButton, {}, ButtonLook::prominent, ControlSize::large, QColor(),
                   QStringLiteral("arrow.uturn.backward.circle.fill"));
        restore->setObjectName(QStringLiteral("restoreButton"));
        connect(restore, &QPushButton::clicked, this, [this] {
            if (m_onRestore)
                m_onRestore();
        });
        block->contentLayout()->addWidget(restore, 0, Qt::AlignLeft);
        block->contentLayout()->addWidget(
            text(QStringLiteral("Moves selected offloaded apps and their support data back to "
                                "this Mac, removing external links."),
                 TextStyles::caption2(), Palette::secondaryText(), true));
        actions->addWidget(block);
    }
    if (const auto &offload = m_model.offload) {
        auto *block = new RoundedPanel(Palette::withOpacity(Palette::blue(), 0.10));
        // The copy button moves under the offload button rather than shorten either.
        auto *buttonStrip = new QWidget;
        auto *buttons = new FlowLayout(buttonStrip, 12, 8);
        buttons->setContentsMargins(0, 0, 0, 0);
        block->contentLayout()->addWidget(buttonStrip);
        QPushButton *offloadButton =
            button(offload->offloadText, {}, ButtonLook::prominent, ControlSize::large, QColor(),
                   QStringLiteral("arrow.right.circle.fill"));
        offloadButton->setObjectName(QStringLiteral("offloadButton"));
        offloadButton->setEnabled(offload->enabled);
        connect(offloadButton, &QPushButton::clicked, this, [this] {
            if (m_onOffload)
                m_onOffload(false);
        });
        buttons->addWidget(offloadButton);
        QPushButton *copy = button(QStringLiteral("Copy Only (Backup)"), {}, ButtonLook::bordered,
                                   ControlSize::large, QColor(), QStringLiteral("doc.on.doc.fill"));
        copy->setObjectName(QStringLiteral("copyOnlyButton"));
        copy->setEnabled(offload->enabled);
        connect(copy, &QPushButton::clicked, this, [this] {
            if (m_onOffload)
                m_onOffload(true);
        });
        buttons->addWidget(copy);
        QLabel *destination =
            text(offload->destination, TextStyles::caption2(), offload->destinationColor, true);
        destination->setObjectName(QStringLiteral("destinationLine"));
        block->contentLayout()->addWidget(destination);
        actions->addWidget(block);
    }
    const auto single = [&](const std::optional<QString> &label, const QString &symbolName,
                            const QColor &tint, const QString &name, auto &&onClick) {
        if (!label)
            return;
        QPushButton *b =
            button(*label, {}, ButtonLook::bordered, ControlSize::regular, tint, symbolName);
        b->setObjectName(name);
        connect(b, &QPushButton::clicked, this, onClick);
        actions->addWidget(b, 0, Qt::AlignLeft);
    };
    single(m_model.makeVisibleButton, QStringLiteral("sparkles.tv"), Palette::purple(),
           QStringLiteral("makeVisibleButton"), [this] { makeVisible(); });
    single(m_model.promoteButton, QStringLiteral("folder.badge.gearshape"), Controls::accent(),
           QStringLiteral("promoteNestedButton"), [this] {
               if (m_onPromoteToRoot)
                   m_onPromoteToRoot(m_nestedApps);
           });
    single(m_model.cleanAliasesButton, QStringLiteral("sparkles"), Palette::orange(),
           QStringLiteral("cleanAliasesButton"), [this] {
               if (m_onCleanDuplicates)
                   m_onCleanDuplicates();
           });
    stack->addStretch(1);
    // The content takes the column's width; what does not fit wraps or shortens instead of
    // running past the window's edge.
    content->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setWidget(content);
}

void BatchInspectorView::makeVisible()
{
    if (!m_onMakeVisibleInApps)
        return;
    // Proxy markers are read again at the press: a proxy made since then counts.
    m_onMakeVisibleInApps(
        BatchInspectorPresenter::offloadedApps(m_apps, BatchItemFacts::read(m_apps)));
}
