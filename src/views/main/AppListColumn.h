#pragma once

#include "views/main/ListColumnPresenter.h"

#include <QAbstractButton>
#include <QMap>
#include <QWidget>

class ActivitySpinner;
class AppListView;
class ContentModel;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QToolButton;
class RoundedPanel;

// One status chip: its label and, for a count of one or more, a count badge, on a capsule
// filled with the accent colour while it is the current filter.
class StatusChipButton final : public QAbstractButton
{
    Q_OBJECT
public:
    explicit StatusChipButton(QWidget *parent = nullptr);

    void setChip(const StatusChip &chip);
    [[nodiscard]] const StatusChip &chip() const { return m_chip; }

    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    [[nodiscard]] QFont titleFont() const;
    [[nodiscard]] static QFont badgeFont();

    StatusChip m_chip{};
};

// The middle column for the list sections: search field, status chips, list header with its
// menus, selection bar, banners, scan progress and the rows (or the scanning placeholder or
// the empty state). It shows the window model and writes user choices back to it.
//
// Object names: "searchField", "clearSearchButton", "statusChip:" + label, "selectAllButton",
// "appCountLabel", "sizeMenuButton", "subfolderMenuButton", "sortMenuButton", "selectionBar",
// "selectionBarText", "clearSelectionButton", "banner:" + kind name with "bannerMessage" and
// its buttons, "scanProgressStrip", "scanStatusLabel", "scanPercentLabel",
// "scanningPlaceholder", "appList", "noMatchingAppsView".
class AppListColumn final : public QWidget
{
    Q_OBJECT
public:
    explicit AppListColumn(ContentModel &model, QWidget *parent = nullptr);

    // Shows the model's current state.
    void refresh();
    // Moves keyboard focus into the search field.
    void focusSearch();

    [[nodiscard]] AppListView *listView() const { return m_list; }
    [[nodiscard]] static QString bannerName(BannerKind kind);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildSearch();
    void buildChips();
    void buildHeader();
    void buildSelectionBar();
    void buildBanners();
    void buildScanArea();

    void refreshChips();
    void refreshHeader();
    void refreshBanners();
    void refreshScanArea();
    void fillMenu(QMenu *menu, const QList<MenuChoice> &choices,
                  const std::function<void(int)> &choose);
    void bannerAction(const QString &buttonName);
    void revealOrphanedItems();

    ContentModel &m_model;
    // The chip counts read every listed bundle, so they are kept until the inventory or the
    // section changes.
    QList<StatusChip> m_chipCounts;
    bool m_chipsStale = true;

    QLineEdit *m_search = nullptr;
    QToolButton *m_clearSearch = nullptr;
    QMap<AppStatusFilter, StatusChipButton *> m_chips;
    QPushButton *m_selectAll = nullptr;
    QLabel *m_count = nullptr;
    QToolButton *m_sizeMenu = nullptr;
    QToolButton *m_subfolderMenu = nullptr;
    QToolButton *m_sortMenu = nullptr;
    RoundedPanel *m_selectionBar = nullptr;
    QLabel *m_selectionText = nullptr;
    QMap<BannerKind, RoundedPanel *> m_banners;
    RoundedPanel *m_progressStrip = nullptr;
    QWidget *m_progressDivider = nullptr;
    QLabel *m_scanStatus = nullptr;
    QProgressBar *m_scanBar = nullptr;
    QLabel *m_scanPercent = nullptr;
    QStackedWidget *m_mainArea = nullptr;
    QWidget *m_placeholder = nullptr;
    QLabel *m_placeholderStatus = nullptr;
    QProgressBar *m_placeholderBar = nullptr;
    AppListView *m_list = nullptr;
    QWidget *m_emptyState = nullptr;
};
