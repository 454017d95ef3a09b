#pragma once

#include <QHashFunctions>
#include <QString>
#include <QUrl>
#include <QtGlobal>
#include <optional>

// One Application Support folder of an application, or the link or alias that now stands
// in its place.
struct SupportFolder
{
    QUrl url;
    QString displayName;
    qint64 size = 0; // 0 until calculated
    bool isSymlink = false;
    // True for a Finder alias and for a symbolic link alike.
    bool isAlias = false;
    std::optional<QString> symlinkTarget = std::nullopt;
    bool isSelected = false;

    [[nodiscard]] QString id() const { return url.toLocalFile(); }
    [[nodiscard]] bool isOffloaded() const { return isSymlink || isAlias; }
    // The name its copy takes on the drive, lower-cased as the drive compares it: folders of one
    // such name would be stored at one place there.
    [[nodiscard]] QString driveName() const;
    // No "Calculating…" form here: 0 is formatted like any other size.
    [[nodiscard]] QString sizeFormatted() const;

    // Every stored property counts: a change of selection or size makes a different value.
    friend bool operator==(const SupportFolder &, const SupportFolder &) = default;
};

[[nodiscard]] size_t qHash(const SupportFolder &folder, size_t seed = 0) noexcept;
