#include "views/inspectors/AppRowView.h"

#include "platform/System.h"
#include "views/inspectors/InspectorWidgets.h"
#include "views/kit/Controls.h"
#include "views/kit/Palette.h"
#include "views/kit/Pill.h"
#include "views/kit/SelectableLabel.h"
#include "views/kit/Symbols.h"
#include "views/kit/TextStyles.h"

#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

using namespace Controls;
using namespace InspectorWidgets;

AppRowView::AppRowView(const AppItem &app, bool isSelected, std::function<void()> onToggleSelect,
                       QWidget *parent)
    : QWidget(parent)
    , m_app(app)
    , m_isSelected(isSelected)
    , m_onToggleSelect(std::move(onToggleSelect))
{
    setObjectName(QStringLiteral("appRowView"));
    build();
    apply();
}

void AppRowView::setApp(const AppItem &app, bool isSelected)
{
    m_app = app;
    m_isSelected = isSelected;
    apply();
}

void AppRowView::build()
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 4);
    layout->setSpacing(10);

    m_selection = new QToolButton;
    m_selection->setObjectName(QStringLiteral("selectionButton"));
    m_selection->setAutoRaise(true);
    m_selection->setIconSize(QSize(15, 15));
    m_selection->setStyleSheet(QStringLiteral("QToolButton { border: none; padding: 0; }"));
    m_selection->setCursor(Qt::PointingHandCursor);
    connect(m_selection, &QToolButton::clicked, this, [this] {
        if (m_onToggleSelect)
            m_onToggleSelect();
    });
    layout->addWidget(m_selection, 0, Qt::AlignVCenter);

    m_icon = new QLabel;
    m_icon->setObjectName(QStringLiteral("appIcon"));
    layout->addWidget(m_icon, 0, Qt::AlignVCenter);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(3);
    QHBoxLayout *title = row(6);
    // A long name gives way to the badges: it shortens with "…" rather than push them out.
    m_name = Pill::line({}, systemFont(13, QFont::Medium));
    m_name->setObjectName(QStringLiteral("appName"));
    title->addWidget(m_name);
    m_badges = row(6, title);
    title->addStretch(1);
    texts->addLayout(title);

    QHBoxLayout *detail = row(3);
    m_detailSymbol = new QLabel;
    detail->addWidget(m_detailSymbol, 0, Qt::AlignVCenter);
    m_storedOn = text(QStringLiteral("Stored on:"), systemFont(10, QFont::Medium),
                      Palette::secondaryText(), true);
    m_storedOn->setWordWrap(false);
    detail->addWidget(m_storedOn);
    m_detail = new SelectableLabel;
    m_detail->setObjectName(QStringLiteral("detailLine"));
    // Part of a list row: clicks select the row, not text.
    m_detail->setTextInteractionFlags(Qt::NoTextInteraction);
    m_detail->unsetCursor();
    m_detail->setElideMode(Qt::ElideMiddle);
    m_detail->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    detail->addWidget(m_detail, 1);
    texts->addLayout(detail);
    layout->addLayout(texts, 1);

    auto *right = new QVBoxLayout;
    right->setSpacing(3);
    m_status = new Pill;
    m_status->setObjectName(QStringLiteral("statusPill"));
    right->addWidget(m_status, 0, Qt::AlignRight);
    m_size = text({}, TextStyles::caption(), {}, true);
    m_size->setObjectName(QStringLiteral("sizeLabel"));
    m_size->setWordWrap(false);
    right->addWidget(m_size, 0, Qt::AlignRight);
    m_folderCount = text({}, systemFont(10), Palette::secondaryText(), true);
    m_folderCount->setObjectName(QStringLiteral("supportFolderCount"));
    m_folderCount->setWordWrap(false);
    right->addWidget(m_folderCount, 0, Qt::AlignRight);
    layout->addLayout(right);
}

void AppRowView::apply()
{
    m_model = AppRowPresenter::present(m_app, AppRowFacts::read(m_app), m_isSelected,
                                       bool(m_onToggleSelect));
    m_selection->setVisible(m_model.showSelectionControl);
    m_selection->setIcon(Symbols::icon(m_model.selectionSymbol, m_model.selectionColor));
    m_selection->setProperty("checked", m_isSelected);

    m_icon->setPixmap(appIcon(m_model.iconPath, 32, m_model.showLinkBadge, 7, 2, 2));
    m_name->setText(m_model.name);

    while (QLayoutItem *item = m_badges->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const AppRowModel::Badge &badge : std::as_const(m_model.badges)) {
        auto *pill =
            new Pill(badge.text,
                     Pill::Style{badge.color, Palette::withOpacity(badge.color, badge.fillOpacity),
                                 4, 1, 3, 0, badge.bold});
        pill->setObjectName(QStringLiteral("titleBadge"));
        pill->setFont(systemFont(badge.pixelSize, badge.bold ? QFont::Bold : QFont::Medium));
        m_badges->addWidget(pill, 0, Qt::AlignVCenter);
        // A child added to a shown row stays hidden until shown itself, and the list paints
        // rows through one shown row.
        pill->show();
    }

    switch (m_model.detailKind) {
    case AppRowModel::DetailKind::versions:
        setSymbol(m_detailSymbol, QStringLiteral("arrow.triangle.2.circlepath"), 8,
                  Palette::orange());
        m_detail->setFont(systemFont(10, QFont::Medium));
        setTextColor(m_detail, Palette::orange());
        break;
    case AppRowModel::DetailKind::drive:
        setSymbol(m_detailSymbol, QStringLiteral("externaldrive.fill"), 8,
                  m_model.driveSymbolColor);
        m_detail->setFont(monospacedFont(10));
        setTextColor(m_detail, QColor());
        break;
    case AppRowModel::DetailKind::path:
        m_detail->setFont(TextStyles::caption2());
        setTextColor(m_detail, Palette::secondaryText());
        break;
    }
    m_detailSymbol->setVisible(m_model.detailKind != AppRowModel::DetailKind::path);
    m_storedOn->setVisible(m_model.detailKind == AppRowModel::DetailKind::drive);
    if (m_model.detailParts.isEmpty())
        m_detail->setFullText(m_model.detailText);
    else
        m_detail->setFullText(m_model.detailParts);

    m_status->setText(m_model.statusPill.text);
    m_status->setStyle(
        Pill::Style{m_model.statusPill.color,
                    Palette::withOpacity(m_model.statusPill.color, m_model.statusPill.fillOpacity),
                    6, 2, 4, 0, true});
    m_status->setFont(systemFont(10, QFont::DemiBold));
    m_size->setText(m_model.sizeText);
    m_folderCount->setVisible(m_model.supportFolderCount.has_value());
    m_folderCount->setText(m_model.supportFolderCount.value_or(QString()));
}

std::optional<QString> AppRowView::shortenedTextAt(const QPoint &pos) const
{
    for (const QWidget *widget = childAt(pos); widget && widget != this;
         widget = widget->parentWidget()) {
        if (const auto *pill = qobject_cast<const Pill *>(widget); pill && pill->isShortened())
            return pill->fullText();
        if (const auto *label = qobject_cast<const SelectableLabel *>(widget);
            label && label->isShortened())
            return label->fullText();
    }
    return std::nullopt;
}

QMenu *AppRowView::createContextMenu(QWidget *parent) const
{
    auto *menu = new QMenu(parent);
    const QString path = m_app.id();
    QAction *reveal = menu->addAction(QStringLiteral("Reveal in Finder"), menu,
                                      [path] { System::current().workspace().reveal({path}); });
    reveal->setObjectName(QStringLiteral("revealInFinderAction"));
    // The drive copy is looked for now, as the menu opens.
    const AppRowModel now =
        AppRowPresenter::present(m_app, AppRowFacts::read(m_app), m_isSelected, false);
    if (now.revealOnDrivePath) {
        const QString drivePath = *now.revealOnDrivePath;
        QAction *onDrive =
            menu->addAction(QStringLiteral("Reveal on External Drive"), menu,
                            [drivePath] { System::current().workspace().reveal({drivePath}); });
        onDrive->setObjectName(QStringLiteral("revealOnDriveAction"));
    }
    menu->addSeparator();
    QAction *launch = menu->addAction(QStringLiteral("Launch Application"), menu,
                                      [path] { System::current().workspace().open(path); });
    launch->setObjectName(QStringLiteral("launchAction"));
    return menu;
}

void AppRowView::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = createContextMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}
