#include "views/kit/Controls.h"

#include "views/kit/FlowLayout.h"
#include "views/kit/Palette.h"
#include "views/kit/Symbols.h"
#include "views/kit/TextStyles.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace Controls {
namespace {

struct Metrics
{
    int verticalPadding;
    int horizontalPadding;
    int platformPoints;
    int iconSize;
    int radius;
};

Metrics metricsOf(ControlSize size)
{
    switch (size) {
    case ControlSize::small:
        return {2, 8, 12, 12, 4};
    case ControlSize::regular:
        return {4, 12, 13, 14, 5};
    case ControlSize::large:
        return {7, 16, 13, 16, 6};
    }
    return {4, 12, 13, 14, 5};
}

QColor defaultText()
{
    return QApplication::palette().color(QPalette::ButtonText);
}

QString styleSheet(ButtonLook look, const QColor &tint, const Metrics &m)
{
    const QString box = QStringLiteral("padding: %1px %2px; border-radius: %3px;")
                            .arg(m.verticalPadding)
                            .arg(m.horizontalPadding)
                            .arg(m.radius);
    switch (look) {
    case ButtonLook::prominent: {
        const QColor fill = tint.isValid() ? tint : accent();
        // A border in the fill's colour keeps it as tall as a bordered button beside it.
        return QStringLiteral(
                   "QPushButton { %1 color: white; background: %2; border: 1px solid %2; }"
                   "QPushButton:pressed { background: %3; border-color: %3; }"
                   "QPushButton:disabled { color: %4; background: %5; border-color: %5; }")
            .arg(box, Palette::css(fill), Palette::css(fill.darker(120)),
                 Palette::css(Palette::withOpacity(Qt::white, 0.8)),
                 Palette::css(Palette::withOpacity(fill, 0.4)));
    }
    case ButtonLook::borderless:
        return QStringLiteral("QPushButton { border: none; color: %1; padding: 0px 2px; "
                              "background: transparent; }"
                              "QPushButton:disabled { color: %2; }")
            .arg(Palette::css(tint.isValid() ? tint : accent()),
                 Palette::css(Palette::secondaryText()));
    case ButtonLook::bordered:
        break;
    }
    const QColor textColor = tint.isValid() ? tint : defaultText();
    const QColor fill =
        tint.isValid() ? Palette::withOpacity(tint, 0.12) : Palette::controlBackground();
    const QColor border = tint.isValid() ? Palette::withOpacity(tint, 0.35)
                                         : Palette::withOpacity(Palette::separator(), 0.7);
    return QStringLiteral("QPushButton { %1 color: %2; background: %3; border: 1px solid %4; }"
                          "QPushButton:pressed { background: %4; }"
                          "QPushButton:disabled { color: %5; }")
        .arg(box, Palette::css(textColor), Palette::css(fill), Palette::css(border),
             Palette::css(Palette::secondaryText()));
}

} // namespace

QColor accent()
{
    return Palette::blue();
}

int points(int platformPoints)
{
    return TextStyles::scaled(platformPoints).pointSize();
}

QFont systemFont(int platformPoints, QFont::Weight weight)
{
    return TextStyles::scaled(platformPoints, weight);
}

QFont monospacedFont(int platformPoints, QFont::Weight weight)
{
    return withWeight(TextStyles::monospaced(points(platformPoints)), weight);
}

QFont withWeight(QFont font, QFont::Weight weight)
{
    font.setWeight(weight);
    return font;
}

QString literalText(const QString &text)
{
    return QString(text).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

void setButtonText(QPushButton *button, const QString &text)
{
    if (auto *fitting = qobject_cast<FittingButton *>(button))
        fitting->setFullText(text);
    else
        button->setText(literalText(text));
}

QPushButton *button(const QString &text, const QString &objectName, ButtonLook look,
                    ControlSize size, const QColor &tint, const QString &symbol, QWidget *parent)
{
    auto *result = new FittingButton(parent);
    if (!objectName.isEmpty())
        result->setObjectName(objectName);
    result->setAutoDefault(false);
    result->setDefault(false);
    result->setCursor(Qt::PointingHandCursor);
    restyle(result, text, look, size, tint, symbol);
    return result;
}

void restyle(QPushButton *button, const QString &text, ButtonLook look, ControlSize size,
             const QColor &tint, const QString &symbol)
{
    const Metrics m = metricsOf(size);
    setButtonText(button, text);
    button->setFont(systemFont(m.platformPoints));
    button->setFlat(look == ButtonLook::borderless);
    QColor iconColor = tint.isValid() ? tint : defaultText();
    if (look == ButtonLook::prominent)
        iconColor = Qt::white;
    else if (look == ButtonLook::borderless && !tint.isValid())
        iconColor = accent();
    button->setIcon(symbol.isEmpty() ? QIcon() : Symbols::icon(symbol, iconColor));
    button->setIconSize(QSize(m.iconSize, m.iconSize));
    button->setStyleSheet(styleSheet(look, tint, m));
}

QLabel *symbol(const QString &symbolName, int size, const QColor &tint, QWidget *parent)
{
    auto *label = new QLabel(parent);
    setSymbol(label, symbolName, size, tint);
    return label;
}

void setSymbol(QLabel *label, const QString &symbolName, int size, const QColor &tint)
{
    label->setPixmap(Symbols::pixmap(symbolName, size, tint));
    label->setFixedSize(size, size);
}

QLabel *text(const QString &content, const QFont &font, const QColor &color, bool wrap,
             Qt::Alignment alignment, QWidget *parent)
{
    auto *label = new QLabel(content, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setWordWrap(wrap);
    label->setAlignment(alignment);
    if (color.isValid())
        setTextColor(label, color);
    return label;
}

void addEmptyStateExplanation(QBoxLayout *into, const QString &explanation)
{
    auto *label =
        text(explanation, TextStyles::caption(), Palette::secondaryText(), true, Qt::AlignCenter);
    // Centred by stretches, so the wrapped lines get their height for the width they have.
    label->setMaximumWidth(360);
    auto *centred = new QHBoxLayout;
    centred->addStretch(0);
    centred->addWidget(label, 1);
    centred->addStretch(0);
    into->addLayout(centred);
}

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText,
               color.isValid() ? color : QApplication::palette().color(QPalette::WindowText));
    p.setColor(QPalette::Text,
               color.isValid() ? color : QApplication::palette().color(QPalette::Text));
    widget->setPalette(p);
}

QHBoxLayout *row(int spacing, QBoxLayout *into)
{
    auto *layout = new QHBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    if (into)
        into->addLayout(layout);
    return layout;
}

QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::NoFrame);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette p = line->palette();
    p.setColor(QPalette::Window, Palette::withOpacity(Palette::separator(), 0.6));
    line->setPalette(p);
    return line;
}

FlowLayout *pageHeader(const QString &title, QLabel *&countLabel)
{
    auto *header = new QWidget;
    header->setObjectName(QStringLiteral("pageHeader"));
    auto *flow = new FlowLayout(header, 10, 8);
    flow->setContentsMargins(0, 0, 0, 0);
    flow->setLastItemTrailing(true);
    auto *titleBlock = new QWidget(header);
    titleBlock->setObjectName(QStringLiteral("pageTitle"));
    auto *titles = new QVBoxLayout(titleBlock);
    titles->setContentsMargins(0, 0, 0, 0);
    titles->setSpacing(2);
    QFont titleFont = TextStyles::title2();
    titleFont.setBold(true);
    titles->addWidget(text(title, titleFont));
    countLabel = text({}, TextStyles::caption(), Palette::secondaryText());
    countLabel->setObjectName(QStringLiteral("countLabel"));
    titles->addWidget(countLabel);
    flow->addWidget(titleBlock);
    flow->setFirstItemStretch(titleBlock->sizeHint().width());
    return flow;
}

} // namespace Controls

// --- FittingButton ---

FittingButton::FittingButton(QWidget *parent)
    : QPushButton(parent)
{
    // A place narrower than its text makes it shorten the text.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void FittingButton::setFullText(const QString &text)
{
    if (text == m_fullText && !m_shownText.isNull())
        return;
    m_fullText = text;
    m_shownText = text;
    setText(Controls::literalText(text));
    fit();
    updateGeometry();
}

int FittingButton::chromeWidth() const
{
    return QPushButton::sizeHint().width() - fontMetrics().horizontalAdvance(m_shownText);
}

QSize FittingButton::sizeHint() const
{
    QSize hint = QPushButton::sizeHint();
    hint.setWidth(chromeWidth() + fontMetrics().horizontalAdvance(m_fullText));
    return hint;
}

QSize FittingButton::minimumSizeHint() const
{
    // Layouts give the whole text room before they shorten it: a count or a verb cut away
    // changes what the button says. Only a line narrower than the button shortens it.
    return sizeHint();
}

void FittingButton::resizeEvent(QResizeEvent *event)
{
    QPushButton::resizeEvent(event);
    fit();
}

void FittingButton::fit()
{
    const int room = width() - chromeWidth();
    const bool whole = width() >= sizeHint().width();
    const QString shown =
        whole ? m_fullText : fontMetrics().elidedText(m_fullText, Qt::ElideRight, room);
    if (shown != m_shownText) {
        m_shownText = shown;
        setText(Controls::literalText(shown));
    }
    // A button without text keeps whatever tooltip it was given.
    if (m_fullText.isEmpty())
        return;
    if (!whole)
        setToolTip(m_fullText);
    else if (toolTip() == m_fullText)
        setToolTip(QString());
}

ActivitySpinner::ActivitySpinner(int diameter, QWidget *parent)
    : QWidget(parent)
    , m_timer(new QTimer(this))
    , m_diameter(diameter)
{
    setFixedSize(diameter, diameter);
    m_timer->setInterval(80);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + 30) % 360;
        update();
    });
}

QSize ActivitySpinner::sizeHint() const
{
    return {m_diameter, m_diameter};
}

void ActivitySpinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal inset = m_diameter / 8.0;
    const QRectF circle = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    painter.setPen(QPen(Palette::withOpacity(Palette::secondaryText(), 0.25), m_diameter / 8.0));
    painter.drawEllipse(circle);
    painter.setPen(QPen(Palette::secondaryText(), m_diameter / 8.0, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(circle, -m_angle * 16, 100 * 16);
}

void ActivitySpinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_timer->start();
}

void ActivitySpinner::hideEvent(QHideEvent *event)
{
    m_timer->stop();
    QWidget::hideEvent(event);
}
