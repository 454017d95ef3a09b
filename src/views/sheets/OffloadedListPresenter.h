#pragma once

#include "model/AppItem.h"

#include <QColor>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// One row of the offloaded list, as drawn.
struct OffloadedRow
{
    AppItem item;
    QString path; // identifies the row; the selection key
    bool isProxy = false;
    QString kindText; // "PROXY" or "ALIAS"
    QColor kindColor;
    qreal kindOpacity = 0.0;
    QString aliasCountText; // "3 Aliases"; empty: no badge
    std::optional<QString> storedOn;
    QColor driveColor;
    QString sizeText;
};

// The header, notice-free part of the view that follows the selection.
struct OffloadedHeader
{
    QString countText;
    bool showsButtons = false;
    QString selectAllText;
    QString restoreSelectedText;
    bool restoreSelectedEnabled = false;
    QString makeVisibleText;
    bool showsSelectionBar = false;
    QString selectionText;
    bool showsEmptyState = true;
};

// What a make-visible run came to.
struct ProxyRunOutcome
{
    int created = 0;
    QStringList failures; // "Name (reason)", in target order

    friend bool operator==(const ProxyRunOutcome &, const ProxyRunOutcome &) = default;
};

// The decisions of the offloaded-applications list: which applications it lists, its
// labels and counts for a selection (which may hold paths of applications listed
// elsewhere), the selection operations and the make-visible run.
class OffloadedListPresenter
{
public:
    // Reads each candidate's proxy fact once (a file read), links and aliases never.
    explicit OffloadedListPresenter(const QList<AppItem> &apps);

    // A symbolic link, else an alias, else a proxy bundle; status is not looked at.
    [[nodiscard]] static bool isListed(const AppItem &app);

    [[nodiscard]] const QList<OffloadedRow> &rows() const { return m_rows; }
    [[nodiscard]] QList<AppItem> offloadedApps() const;
    [[nodiscard]] QList<AppItem> selectedOffloadedApps(const QSet<QString> &selection) const;
    [[nodiscard]] qint64 selectedOffloadedSize(const QSet<QString> &selection) const;
    [[nodiscard]] OffloadedHeader header(const QSet<QString> &selection) const;

    // "Select All" / "Deselect All": only the two counts are compared.
    [[nodiscard]] QSet<QString> selectAllOrNone(const QSet<QString> &selection) const;
    [[nodiscard]] static QSet<QString> toggled(QSet<QString> selection, const QString &path);

    // The selected listed applications, or all listed ones when none of them is selected.
    [[nodiscard]] QList<AppItem> makeVisibleTargets(const QSet<QString> &selection) const;

    // Promotes each unprotected target in order; a failure is noted and the run goes on.
    // Runs on the caller's thread.
    [[nodiscard]] static ProxyRunOutcome
    promoteAll(const QList<AppItem> &targets, const std::function<void(const AppItem &)> &promote);
    [[nodiscard]] static QString notice(const ProxyRunOutcome &outcome);

private:
    QList<OffloadedRow> m_rows;
};
