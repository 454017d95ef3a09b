#pragma once

#include "views/inspectors/AppRowPresenter.h"

#include <QWidget>
#include <functional>
#include <optional>

class QHBoxLayout;
class QLabel;
class QMenu;
class QToolButton;
class Pill;
class SelectableLabel;

// One application in the list: selection control, icon, name with badges, one detail line,
// size, support-folder count and status pill; its context menu reveals and launches. It
// never changes the selection itself. Main thread only.
class AppRowView final : public QWidget
{
    Q_OBJECT
public:
    // Without `onToggleSelect` the row draws no selection control.
    AppRowView(const AppItem &app, bool isSelected, std::function<void()> onToggleSelect = {},
               QWidget *parent = nullptr);

    // Shows another value, for a list that keeps its row widgets.
    void setApp(const AppItem &app, bool isSelected);
    [[nodiscard]] const AppRowModel &model() const { return m_model; }
    // The row's context menu, built now (the drive copy's existence is tested now); the
    // caller owns it.
    [[nodiscard]] QMenu *createContextMenu(QWidget *parent = nullptr) const;
    // The whole of the text shortened at `pos` (in this row) at the row's present size; none
    // where the text there is whole or there is none.
    [[nodiscard]] std::optional<QString> shortenedTextAt(const QPoint &pos) const;

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void build();
    void apply();

    AppItem m_app;
    bool m_isSelected = false;
    std::function<void()> m_onToggleSelect;
    AppRowModel m_model;

    QToolButton *m_selection = nullptr;
    QLabel *m_icon = nullptr;
    QLabel *m_name = nullptr;
    QHBoxLayout *m_badges = nullptr;
    QLabel *m_detailSymbol = nullptr;
    QLabel *m_storedOn = nullptr;
    SelectableLabel *m_detail = nullptr;
    Pill *m_status = nullptr;
    QLabel *m_size = nullptr;
    QLabel *m_folderCount = nullptr;
};
