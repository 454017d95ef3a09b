#pragma once

#include "model/SupportFolder.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// Finds the Application Support folders of one application by name: folders named exactly
// after the application or its bundle identifier start selected, but of several that share a
// name on the drive only the first; folders named after a distinctive piece of the identifier
// are offered unselected.
//
// The roots are listed once, when the finder is made, so that one scan lists them once for
// all its applications. Safe to use from several threads after construction.
class SupportFolderFinder
{
public:
    // `roots` in search order: the user's Application Support folder first.
    explicit SupportFolderFinder(const QStringList &roots);

    // In discovery order (root by root, listing order within a root), sizes 0.
    [[nodiscard]] QList<SupportFolder> discover(const QString &name,
                                                const std::optional<QString> &bundleId) const;

    // Identifier pieces that name no particular application.
    [[nodiscard]] static const QStringList &ignoredIdentifierParts();

private:
    struct Entry
    {
        QString path;
        QString lowerName;
    };
    // Root by root, in listing order.
    QList<Entry> m_entries;
    // Lowercased name → positions in m_entries, ascending; so that an application costs
    // the names it looks for, not the whole listing.
    QHash<QString, QList<qsizetype>> m_byName;
};
