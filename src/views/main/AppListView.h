#pragma once

#include "model/AppItem.h"

#include <QAbstractListModel>
#include <QListView>
#include <QSet>
#include <QStyledItemDelegate>
#include <memory>

class AppRowView;
class QMenu;

// The listed applications as rows, with the window's selection beside them. Rows are keyed
// by the application's path.
class AppListModel final : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role {
        SelectedRole = Qt::UserRole + 1,
        PathRole,
    };

    using QAbstractListModel::QAbstractListModel;

    // Keeps the view's place when only the values or the order change.
    void setApps(const QList<AppItem> &apps);
    void setSelectedIds(const QSet<QString> &ids);

    [[nodiscard]] const QList<AppItem> &apps() const { return m_apps; }
    [[nodiscard]] const AppItem &appAt(int row) const { return m_apps.at(row); }
    [[nodiscard]] bool isSelected(int row) const;

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role) const override;

private:
    QList<AppItem> m_apps;
    QSet<QString> m_selectedIds;
};

// Draws each row as AppRowView shows it: one hidden row widget is filled with the row's
// application and rendered in place, so that thousands of rows cost only the visible ones.
// The selection is drawn as a tinted rounded background.
class AppRowDelegate final : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit AppRowDelegate(QObject *parent = nullptr);
    ~AppRowDelegate() override;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    [[nodiscard]] QSize sizeHint(const QStyleOptionViewItem &option,
                                 const QModelIndex &index) const override;
    // Over a text the row shortened, its whole text; elsewhere the row's path.
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

    // Where the row's selection control lies when the row fills `rowRect`.
    [[nodiscard]] QRect selectionControlRect(const AppItem &app, bool selected,
                                             const QRect &rowRect) const;
    // The row's context menu (reveal, launch); the caller owns it.
    [[nodiscard]] QMenu *contextMenu(const AppItem &app, QWidget *parent) const;

    // The row's content inside its list rectangle.
    [[nodiscard]] static QRect contentRect(const QRect &rowRect);

private:
    AppRowView &stamp(const AppItem &app, bool selected, const QSize &size) const;

    std::unique_ptr<AppRowView> m_stamp;
    int m_rowHeight = 0;
};

// The list of application rows. It keeps no selection of its own: a click reports the row
// and whether the command key (Ctrl here) was held, the row's selection control reports a
// toggle, and the window decides.
class AppListView final : public QListView
{
    Q_OBJECT
public:
    explicit AppListView(QWidget *parent = nullptr);

    [[nodiscard]] AppListModel *appModel() const { return m_model; }
    [[nodiscard]] AppRowDelegate *rowDelegate() const { return m_delegate; }

signals:
    void rowTapped(const AppItem &app, bool commandKeyHeld);
    void selectionToggled(const AppItem &app);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    AppListModel *m_model;
    AppRowDelegate *m_delegate;
};
