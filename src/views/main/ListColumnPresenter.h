#pragma once

#include "model/AppItem.h"
#include "views/main/ListVocabulary.h"

#include <QColor>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// What the middle column holds for a section.
enum class ContentColumn {
    appList,
    offloadedList,
    history,
};

struct StatusChip
{
    AppStatusFilter filter;
    QString title;
    int count = 0;
    bool isCurrent = false;

    [[nodiscard]] bool showsBadge() const { return count >= 1; }
    friend bool operator==(const StatusChip &, const StatusChip &) = default;
};

// One item of the size, subfolder or sort menu; an empty title stands for a divider.
struct MenuChoice
{
    QString title;
    bool checked = false;

    friend bool operator==(const MenuChoice &, const MenuChoice &) = default;
};

struct ListHeaderModel
{
    QString selectAllTitle;
    QString countText;
    QString sizeTitle;
    bool showsSubfolderMenu = false;
    QString subfolderTitle;
    QString sortTitle;
};

enum class BannerKind {
    duplicateAliases,
    reoffload,
    backupUpdate,
    redundantCopies,
    stagingLeftovers,
};

struct BannerButton
{
    QString title;
    QString objectName;
    bool prominent = false;
    bool enabled = true;
    QColor tint; // invalid: the accent colour for a prominent button, none otherwise
};

struct BannerModel
{
    BannerKind kind;
    QString symbol;
    QColor color;
    QString message;
    QColor background;
    int verticalInset = 4;
    QList<BannerButton> buttons;
};

// What the banners read of the window, taken at one moment.
struct BannerInputs
{
    int totalDuplicateAliases = 0;
    std::optional<NavigationSection> section;
    int needsReoffload = 0;
    int outOfSyncBackups = 0;
    int redundantLocalCopies = 0;
    qint64 redundantCopiesBytes = 0;
    int orphanedItems = 0;
    qint64 orphanedStagingBytes = 0;
    bool isCleaning = false;
    bool isOffloading = false;
    bool isRestoring = false;
};

// Below the banners: a progress strip during a rescan, then the list, the scanning
// placeholder (first scan) or the empty state.
enum class ListArea {
    scanningPlaceholder,
    list,
    emptyState,
};

struct ScanAreaModel
{
    bool showsProgressStrip = false;
    ListArea mainArea = ListArea::emptyState;
    QString percentText;

    friend bool operator==(const ScanAreaModel &, const ScanAreaModel &) = default;
};

// The decisions of the application list column: which column a section gets, the chips,
// the header and its menus, the selection bar, the banners and the scan area.
namespace ListColumnPresenter {

[[nodiscard]] ContentColumn contentColumn(std::optional<NavigationSection> section);

// The nine chips; counts over the section's applications before search, subfolder and size
// filters (reads each application's status once).
[[nodiscard]] QList<StatusChip> statusChips(const QList<AppItem> &sectionApps,
                                            AppStatusFilter current);

[[nodiscard]] QString selectAllTitle(qsizetype selected, qsizetype listed);
[[nodiscard]] ListHeaderModel header(qsizetype selected, qsizetype listed, AppSizeFilter size,
                                     const QStringList &subfolders,
                                     const QString &selectedSubfolder, AppSortOrder sort);
[[nodiscard]] QList<MenuChoice> sizeMenu(AppSizeFilter current);
// "All Subfolders", a divider, then the names.
[[nodiscard]] QList<MenuChoice> subfolderMenu(const QStringList &subfolders,
                                              const QString &selectedSubfolder);
[[nodiscard]] QList<MenuChoice> sortMenu(AppSortOrder current);

// Nothing while nothing is selected.
[[nodiscard]] std::optional<QString> selectionBarText(qsizetype selected, qsizetype listed,
                                                      qint64 selectedBytes);

// The banners to show, in their fixed order.
[[nodiscard]] QList<BannerModel> banners(const BannerInputs &inputs);

[[nodiscard]] ScanAreaModel scanArea(bool isScanning, bool hasApps, bool hasListedApps,
                                     double scanProgress);
// The progress as a whole percentage, halves rounded up: "13%" for 0.125.
[[nodiscard]] QString percentText(double scanProgress);

} // namespace ListColumnPresenter
