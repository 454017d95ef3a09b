#include "views/sheets/ProgressSheet.h"

#include "views/kit/Controls.h"
#include "views/kit/Palette.h"
#include "views/kit/TextStyles.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Controls;

namespace {

constexpr int sheetWidth = 450;
constexpr int barSteps = 1000;

QFont bold(QFont font)
{
    font.setBold(true);
    return font;
}

// Digits of equal width, as the percent label asks.
QFont tabularCaption()
{
    QFont font = TextStyles::caption();
    font.setFamilies(TextStyles::monospaced().families());
    return font;
}

QHBoxLayout *centred(QWidget *widget)
{
    auto *row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->addStretch();
    row->addWidget(widget);
    row->addStretch();
    return row;
}

QVBoxLayout *column(QWidget *owner)
{
    auto *layout = new QVBoxLayout(owner);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(20);
    return layout;
}

} // namespace

ProgressSheet::ProgressSheet(std::function<void()> onDismiss, QWidget *parent)
    : DismissableSheet(std::move(onDismiss), parent)
{
    setFixedWidth(sheetWidth);
    build();
}

void ProgressSheet::build()
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(32, 32, 32, 32);
    outer->setSpacing(20);

    // In progress and cancelling.
    m_runningBox = new QWidget(this);
    auto *running = column(m_runningBox);
    auto *headlineRow = new QHBoxLayout;
    headlineRow->setSpacing(10);
    m_spinner = new ActivitySpinner(16, m_runningBox);
    m_headline = text({}, TextStyles::headline());
    m_headline->setObjectName(QStringLiteral("headlineLabel"));
    headlineRow->addStretch();
    headlineRow->addWidget(m_spinner);
    headlineRow->addWidget(m_headline);
    headlineRow->addStretch();
    running->addLayout(headlineRow);
    m_bar = new QProgressBar(m_runningBox);
    m_bar->setRange(0, barSteps);
    m_bar->setTextVisible(false);
    m_bar->setFixedHeight(6);
    running->addWidget(m_bar);
    auto *stepRow = new QHBoxLayout;
    m_step = text({}, TextStyles::subheadline(), Palette::secondaryText(), true,
                  Qt::AlignLeft | Qt::AlignTop);
    m_step->setObjectName(QStringLiteral("stepLabel"));
    m_percent =
        text({}, tabularCaption(), Palette::secondaryText(), false, Qt::AlignRight | Qt::AlignTop);
    m_percent->setObjectName(QStringLiteral("percentLabel"));
    stepRow->addWidget(m_step, 1);
    stepRow->addWidget(m_percent, 0, Qt::AlignTop);
    running->addLayout(stepRow);
    m_cancel =
        button(QStringLiteral("Cancel"), QStringLiteral("cancelButton"), ButtonLook::bordered);
    connect(m_cancel, &QPushButton::clicked, this, [this] { cancelRequested(); });
    running->addLayout(centred(m_cancel));
    outer->addWidget(m_runningBox);

    // Success and failure.
    m_endBox = new QWidget(this);
    auto *end = column(m_endBox);
    m_successSymbol = symbol(QStringLiteral("checkmark.circle.fill"), 56, Palette::green());
    m_failureSymbol = symbol(QStringLiteral("xmark.circle.fill"), 56, Palette::red());
    auto *symbols = new QHBoxLayout;
    symbols->addStretch();
    symbols->addWidget(m_successSymbol);
    symbols->addWidget(m_failureSymbol);
    symbols->addStretch();
    end->addLayout(symbols);
    m_title = text({}, bold(TextStyles::title2()), {}, true, Qt::AlignCenter);
    m_title->setObjectName(QStringLiteral("titleLabel"));
    end->addWidget(m_title);
    m_message = text({}, TextStyles::subheadline(), {}, true, Qt::AlignCenter);
    m_message->setObjectName(QStringLiteral("messageLabel"));
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    end->addWidget(m_message);
    m_batchFailure = text({}, TextStyles::caption(), Palette::orange(), true, Qt::AlignCenter);
    m_batchFailure->setObjectName(QStringLiteral("batchFailureLabel"));
    end->addWidget(m_batchFailure);

    m_preservedBlock = new QWidget(m_endBox);
    auto *preserved = new QVBoxLayout(m_preservedBlock);
    preserved->setContentsMargins(0, 4, 0, 4);
    preserved->setSpacing(8);
    m_preservedText = text({}, TextStyles::caption(), Palette::orange(), true, Qt::AlignCenter);
    m_preservedText->setObjectName(QStringLiteral("preservedLabel"));
    preserved->addWidget(m_preservedText);
    auto *reveal =
        button(QStringLiteral("Reveal Preserved Backups in Finder"),
               QStringLiteral("revealPreservedButton"), ButtonLook::bordered, ControlSize::small);
    connect(reveal, &QPushButton::clicked, this, [this] { revealPreservedRequested(); });
    preserved->addLayout(centred(reveal));
    end->addWidget(m_preservedBlock);

    m_done = button(QStringLiteral("Done"), QStringLiteral("doneButton"), ButtonLook::prominent,
                    ControlSize::large);
    m_close = button(QStringLiteral("Close"), QStringLiteral("closeButton"), ButtonLook::bordered);
    connect(m_done, &QPushButton::clicked, this, [this] { dismiss(); });
    connect(m_close, &QPushButton::clicked, this, [this] { dismiss(); });
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_done);
    buttons->addWidget(m_close);
    buttons->addStretch();
    end->addLayout(buttons);
    outer->addWidget(m_endBox);
}

void ProgressSheet::setTaskReport(const TaskReport &report)
{
    m_report = report;
    refresh();
}

void ProgressSheet::refresh()
{
    apply(present());
}

void ProgressSheet::apply(const ProgressSheetModel &model)
{
    m_model = model;
    const bool running = model.isRunningFace();
    const bool success = model.state == ProgressSheetState::success;
    m_runningBox->setVisible(running);
    m_endBox->setVisible(!running);

    m_headline->setText(model.headline);
    m_step->setText(model.stepText);
    m_percent->setText(model.percentText);
    m_bar->setValue(int(model.barFraction * barSteps));
    m_cancel->setEnabled(model.cancelEnabled);

    m_successSymbol->setVisible(success);
    m_failureSymbol->setVisible(!success);
    m_title->setText(model.title);
    m_message->setText(model.message);
    m_message->setVisible(!model.message.isEmpty());
    setTextColor(m_message, success ? Palette::secondaryText() : Palette::red());
    m_message->setContentsMargins(success ? 0 : 16, 0, success ? 0 : 16, 0);
    m_batchFailure->setText(model.batchFailureLine);
    m_batchFailure->setVisible(!model.batchFailureLine.isEmpty());
    m_preservedText->setText(model.preservedText);
    m_preservedBlock->setVisible(!model.preservedText.isEmpty());
    m_done->setVisible(success);
    m_close->setVisible(!success);

    // As high as the content, at the fixed width.
    layout()->activate();
    const int height = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(sheetWidth)
                                                     : layout()->totalSizeHint().height();
    setFixedHeight(height);
}
