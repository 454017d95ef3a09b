#include "views/sheets/LogViewerSheet.h"

#include "platform/System.h"
#include "services/AppLogger.h"
#include "views/kit/Controls.h"
#include "views/kit/Palette.h"
#include "views/kit/SelectableLabel.h"
#include "views/kit/TextStyles.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

using namespace Controls;

LogViewerSheet::LogViewerSheet(std::function<void()> onDismiss, QWidget *parent)
    : LogViewerSheet(AppLogger::shared(), std::move(onDismiss), parent)
{}

LogViewerSheet::LogViewerSheet(AppLogger &logger, std::function<void()> onDismiss, QWidget *parent)
    : DismissableSheet(std::move(onDismiss), parent)
    , m_presenter(logger)
{
    setObjectName(QStringLiteral("logViewerSheet"));
    setFixedSize(720, 480);
    build();
    showText();
}

void LogViewerSheet::build()
{
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(20, 20, 20, 20);
    root->setSpacing(12);

    auto *header = new QHBoxLayout;
    auto *titles = new QVBoxLayout;
    titles->setSpacing(2);
    QFont titleFont = TextStyles::title3();
    titleFont.setBold(true);
    titles->addWidget(text(QStringLiteral("Diagnostic Logs"), titleFont));
    auto *path = new SelectableLabel;
    path->setObjectName(QStringLiteral("logPathLabel"));
    QFont pathFont = TextStyles::monospaced();
    pathFont.setPointSize(TextStyles::caption2().pointSize());
    path->setFont(pathFont);
    setTextColor(path, Palette::secondaryText());
    path->setElideMode(Qt::ElideMiddle);
    path->setFullText(m_presenter.logPath());
    path->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    titles->addWidget(path);
    header->addLayout(titles, 1);

    auto *reveal = button(QStringLiteral("Reveal in Finder"), QStringLiteral("revealLogButton"),
                          ButtonLook::bordered, ControlSize::small);
    auto *refresh = button(QStringLiteral("Refresh"), QStringLiteral("refreshLogButton"),
                           ButtonLook::bordered, ControlSize::small);
    auto *clear = button(QStringLiteral("Clear"), QStringLiteral("clearLogButton"),
                         ButtonLook::bordered, ControlSize::small);
    auto *close = button(QStringLiteral("Close"), QStringLiteral("closeLogButton"),
                         ButtonLook::prominent, ControlSize::small);
    for (QPushButton *each : {reveal, refresh, clear, close})
        header->addWidget(each);
    root->addLayout(header);

    connect(reveal, &QPushButton::clicked, this,
            [this] { System::current().workspace().reveal({m_presenter.logPath()}); });
    connect(refresh, &QPushButton::clicked, this, [this] {
        m_presenter.refresh();
        showText();
    });
    connect(clear, &QPushButton::clicked, this, [this] {
        m_presenter.clear();
        showText();
    });
    connect(close, &QPushButton::clicked, this, &LogViewerSheet::dismiss);

    m_text = new QPlainTextEdit(this);
    m_text->setObjectName(QStringLiteral("logText"));
    m_text->setReadOnly(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_text->setFont(monospacedFont(11));
    m_text->document()->setDocumentMargin(10);
    m_text->setStyleSheet(
        QStringLiteral("QPlainTextEdit { border: 1px solid %1; border-radius: "
                       "8px; background: palette(base); }")
            .arg(Palette::css(Palette::withOpacity(Palette::secondaryText(), 0.2))));
    root->addWidget(m_text, 1);
}

void LogViewerSheet::showText()
{
    m_text->setPlainText(m_presenter.logText());
    // Opens at the top, at the oldest line shown.
    m_text->moveCursor(QTextCursor::Start);
    m_text->verticalScrollBar()->setValue(0);
}
