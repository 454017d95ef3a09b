#pragma once

#include "views/sheets/DismissableSheet.h"

// The help sheet, 580 × 600 pixels: a fixed header with "Done" above a scrolling body of
// four sections (status glossary, transfer safety, diagnostics, keyboard shortcuts), all
// fixed texts. It reads nothing and changes nothing; "Done" calls `onDismiss`.
//
// Object names: "doneButton", "guideBody"; "statusCard", "featureRow", "shortcutRow" and,
// in each shortcut row, "keyCap".
class HelpGuideView final : public DismissableSheet
{
    Q_OBJECT
public:
    explicit HelpGuideView(std::function<void()> onDismiss, QWidget *parent = nullptr);
};
