#pragma once

#include <QColor>
#include <QList>
#include <QString>

// The fixed texts of the help guide, in the order shown. They describe the product in the
// guide's own words and are not derived from any other part of the program.
namespace HelpGuideContent {

// Colours by role; the view turns them into the palette's colours.
enum class Tint { none, accent, blue, green, teal, orange, red, secondary };

struct StatusCard
{
    QString title;
    QString badge;
    Tint tint;
    QString description;
};

struct FeatureRow
{
    QString symbol;
    QString title;
    QString text;
};

struct ShortcutRow
{
    QString action;
    QString keys;
};

struct Section
{
    QString symbol; // empty: the heading stands alone
    Tint symbolTint;
    QString heading;
    QString introduction; // empty: none
};

[[nodiscard]] QString title();
// The four sections: status glossary, transfer safety, diagnostics, keyboard shortcuts.
[[nodiscard]] const QList<Section> &sections();
[[nodiscard]] const QList<StatusCard> &statusCards();
[[nodiscard]] const QList<FeatureRow> &safetyRows();
[[nodiscard]] const QList<FeatureRow> &diagnosticsRows();
[[nodiscard]] const QList<ShortcutRow> &shortcutRows();

} // namespace HelpGuideContent
