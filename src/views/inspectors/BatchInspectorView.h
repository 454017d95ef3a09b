#pragma once

#include "views/inspectors/BatchInspectorPresenter.h"

#include <QScrollArea>
#include <functional>

// The inspector of a multiple selection: how many, how much, which statuses, every selected
// application, and the batch actions that fit. It only calls the callbacks; the window does
// the work and builds a new inspector afterwards. Main thread only.
class BatchInspectorView final : public QScrollArea
{
    Q_OBJECT
public:
    using AppsAction = std::function<void(const QList<AppItem> &)>;

    // Absent optional callbacks make their buttons do nothing.
    BatchInspectorView(QList<AppItem> apps, std::optional<TargetVolume> targetVolume,
                       std::function<void(bool copyOnly)> onOffload,
                       std::function<void()> onRestore, std::function<void()> onCleanDuplicates,
                       AppsAction onMakeVisibleInApps = {}, AppsAction onPromoteToRoot = {},
                       QWidget *parent = nullptr);

    [[nodiscard]] const BatchInspectorModel &model() const { return m_model; }

private:
    void build();
    void makeVisible();

    QList<AppItem> m_apps;
    std::optional<TargetVolume> m_targetVolume;
    std::function<void(bool)> m_onOffload;
    std::function<void()> m_onRestore;
    std::function<void()> m_onCleanDuplicates;
    AppsAction m_onMakeVisibleInApps;
    AppsAction m_onPromoteToRoot;
    BatchInspectorModel m_model;
    // As the inspector was built: the promote button acts on this list.
    QList<AppItem> m_nestedApps;
};
