#include "views/sheets/HelpGuideView.h"

#include "views/kit/Controls.h"
#include "views/kit/Palette.h"
#include "views/kit/Pill.h"
#include "views/kit/RoundedPanel.h"
#include "views/kit/TextStyles.h"
#include "views/sheets/HelpGuideContent.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

using namespace HelpGuideContent;
using namespace Controls;

namespace {

QColor colour(Tint tint)
{
    switch (tint) {
    case Tint::none:
        return {};
    case Tint::accent:
        return accent();
    case Tint::blue:
        return Palette::blue();
    case Tint::green:
        return Palette::green();
    case Tint::teal:
        return Palette::teal();
    case Tint::orange:
        return Palette::orange();
    case Tint::red:
        return Palette::red();
    case Tint::secondary:
        return Palette::secondaryText();
    }
    return {};
}

// A caption paragraph in the secondary colour with 2 points of extra line spacing.
QLabel *paragraph(const QString &content)
{
    auto *label = new QLabel;
    label->setTextFormat(Qt::RichText);
    label->setWordWrap(true);
    label->setFont(TextStyles::caption());
    const int lineHeight = QFontMetrics(TextStyles::caption()).lineSpacing() + 2;
    label->setText(QStringLiteral("<div style=\"line-height: %1px\">%2</div>")
                       .arg(lineHeight)
                       .arg(content.toHtmlEscaped()));
    label->setAccessibleDescription(content);
    setTextColor(label, Palette::secondaryText());
    return label;
}

RoundedPanel *cardFace(const QString &objectName)
{
    auto *face = new RoundedPanel(Palette::controlBackground(), nullptr, 6, 10);
    face->setObjectName(objectName);
    return face;
}

QWidget *statusCard(const StatusCard &card)
{
    auto *face = cardFace(QStringLiteral("statusCard"));
    face->contentLayout()->setSpacing(4);
    auto *titleLine = new QHBoxLayout;
    titleLine->setSpacing(8);
    titleLine->addWidget(text(card.title, systemFont(13, QFont::DemiBold)));
    Pill::Style style = Pill::tinted(colour(card.tint), 0.15);
    style.pointSize = points(10);
    style.bold = true;
    titleLine->addWidget(new Pill(card.badge, style));
    titleLine->addStretch();
    face->contentLayout()->addLayout(titleLine);
    face->contentLayout()->addWidget(paragraph(card.description));
    return face;
}

QWidget *featureRow(const FeatureRow &row)
{
    auto *face = cardFace(QStringLiteral("featureRow"));
    auto *content = new QHBoxLayout;
    content->setSpacing(12);
    auto *icon = symbol(row.symbol, 22, accent());
    icon->setContentsMargins(0, 2, 0, 0);
    icon->setFixedSize(22, 24);
    content->addWidget(icon, 0, Qt::AlignTop);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(text(row.title, systemFont(13, QFont::DemiBold), {}, true));
    texts->addWidget(paragraph(row.text));
    content->addLayout(texts, 1);
    face->contentLayout()->addLayout(content);
    return face;
}

QWidget *shortcutRow(const ShortcutRow &row)
{
    auto *face =
        new RoundedPanel(Palette::withOpacity(Palette::controlBackground(), 0.5), nullptr, 6, 0);
    face->setObjectName(QStringLiteral("shortcutRow"));
    face->contentLayout()->setContentsMargins(10, 4, 10, 4);
    auto *content = new QHBoxLayout;
    content->addWidget(text(row.action, TextStyles::caption(), {}, true), 1);
    const QFont keyFont = monospacedFont(11, QFont::DemiBold);
    Pill::Style style{QApplication::palette().color(QPalette::WindowText),
                      Palette::controlBackground()};
    style.horizontalPadding = 8;
    style.verticalPadding = 3;
    style.cornerRadius = 4;
    auto *keys = new Pill(row.keys, style);
    keys->setFont(keyFont);
    keys->setObjectName(QStringLiteral("keyCap"));
    content->addWidget(keys);
    face->contentLayout()->addLayout(content);
    return face;
}

QWidget *section(const Section &section, const QList<QWidget *> &items, int itemSpacing)
{
    auto *widget = new QWidget;
    auto *column = new QVBoxLayout(widget);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    auto *heading = new QHBoxLayout;
    heading->setSpacing(8);
    if (!section.symbol.isEmpty())
        heading->addWidget(symbol(section.symbol, 18, colour(section.symbolTint)));
    QFont headingFont = TextStyles::title3();
    headingFont.setBold(true);
    heading->addWidget(text(section.heading, headingFont));
    heading->addStretch();
    column->addLayout(heading);
    if (!section.introduction.isEmpty())
        column->addWidget(
            text(section.introduction, TextStyles::caption(), Palette::secondaryText(), true));
    auto *list = new QVBoxLayout;
    list->setSpacing(itemSpacing);
    for (QWidget *item : items)
        list->addWidget(item);
    column->addLayout(list);
    return widget;
}

template<typename Row, typename Build>
QList<QWidget *> built(const QList<Row> &rows, Build build)
{
    QList<QWidget *> widgets;
    for (const Row &row : rows)
        widgets.append(build(row));
    return widgets;
}

} // namespace

HelpGuideView::HelpGuideView(std::function<void()> onDismiss, QWidget *parent)
    : DismissableSheet(std::move(onDismiss), parent)
{
    setObjectName(QStringLiteral("helpGuideView"));
    setFixedSize(580, 600);
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    // The header stays put above the scrolling body.
    auto *header = new QWidget(this);
    header->setAutoFillBackground(true);
    header->setBackgroundRole(QPalette::Window);
    auto *headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(16, 16, 16, 16);
    headerRow->addWidget(symbol(QStringLiteral("questionmark.circle.fill"), 28, accent()));
    QFont titleFont = TextStyles::title2();
    titleFont.setBold(true);
    headerRow->addWidget(text(title(), titleFont));
    headerRow->addStretch();
    auto *done = button(QStringLiteral("Done"), QStringLiteral("doneButton"), ButtonLook::prominent,
                        ControlSize::small);
    connect(done, &QPushButton::clicked, this, &HelpGuideView::dismiss);
    headerRow->addWidget(done);
    root->addWidget(header);
    root->addWidget(divider());

    auto *scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto *body = new QWidget;
    body->setObjectName(QStringLiteral("guideBody"));
    auto *column = new QVBoxLayout(body);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(24);
    const QList<Section> &parts = sections();
    column->addWidget(section(parts.at(0), built(statusCards(), statusCard), 10));
    column->addWidget(divider());
    column->addWidget(section(parts.at(1), built(safetyRows(), featureRow), 10));
    column->addWidget(divider());
    column->addWidget(section(parts.at(2), built(diagnosticsRows(), featureRow), 10));
    column->addWidget(divider());
    column->addWidget(section(parts.at(3), built(shortcutRows(), shortcutRow), 6));
    column->addStretch();
    scroll->setWidget(body);
    root->addWidget(scroll, 1);
}
