#pragma once

#include "views/main/SidebarPresenter.h"

#include <QListWidget>

class ContentModel;
class Pill;
class QLabel;

// The section list of the window's first column: the seven sections with their symbols and
// counts. Choosing a row sets the model's section; the model's section selects the row.
//
// Rows carry the object name "sidebarRow:" + section title, with "sectionTitle" and
// "sectionBadge" (shown only when the section has a number to show).
class SidebarView final : public QListWidget
{
    Q_OBJECT
public:
    explicit SidebarView(ContentModel &model, QWidget *parent = nullptr);

    // Shows the current section and counts.
    void refresh();
    // The badge of a section as drawn now.
    [[nodiscard]] const SectionBadge &badge(NavigationSection section) const;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    // Every row as wide as the sidebar shows, so a count is never past its edge.
    void fitRows();

    struct Row
    {
        QWidget *widget = nullptr;
        Pill *badge = nullptr;
        SectionBadge shown;
    };

    void applyBadge(Row &row, const SectionBadge &badge);
    void selectCurrentSection();

    ContentModel &m_model;
    QList<Row> m_rows;
    bool m_syncing = false;
};
