#pragma once

#include "model/AppOffloadStatus.h"
#include "model/SupportFolder.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QtGlobal>
#include <optional>

// One application as the inventory found it: a real bundle, or the symbolic link, Finder
// alias or proxy bundle that stands for an offloaded one. Built with the members in
// declaration order; designated initialisers may leave out any member that has a default.
//
// status() and isProxyBundle() read the disk on every call and cache nothing, so an
// offloaded application shows "Drive Missing" as soon as its drive is gone. Everything
// else is pure.
struct AppItem
{
    QUrl url;
    QString name; // last component of url without its extension
    std::optional<QString> bundleIdentifier = std::nullopt;
    std::optional<QString> version = std::nullopt;
    qint64 size = 0; // 0 means not yet calculated
    QList<SupportFolder> supportFolders = {};
    // The inventory sets isSymlink and isAlias together for every stand-in (link, alias or
    // proxy); read them as one fact.
    bool isSymlink = false;
    bool isAlias = false;
    bool isCopied = false;
    std::optional<QString> symlinkTarget = std::nullopt;
    bool isProtected = false;
    std::optional<QString> protectedReason = std::nullopt; // present exactly when isProtected
    bool isRunning = false;
    QStringList duplicateAliasPaths = {};
    std::optional<QString> externalVersion = std::nullopt;
    std::optional<QString> externalAppPath = std::nullopt;
    bool isUpdateOutOfSync = false;
    bool isOverwrittenOffload = false;

    [[nodiscard]] QString id() const { return url.toLocalFile(); }
    // The bundle's Info.plist (through a link, if url is one) marks it as one of our proxy
    // launchers. An alias is a file, so it never is one.
    [[nodiscard]] bool isProxyBundle() const;
    [[nodiscard]] bool isOffloaded() const;
    // The containing folder is the system-wide Applications folder itself.
    [[nodiscard]] bool isRootApplicationsFolder() const;
    // Anything else, including the top of the user's own Applications folder.
    [[nodiscard]] bool isNestedInSubfolder() const { return !isRootApplicationsFolder(); }
    // The folders between an Applications folder and the item ("Tools/Editors"); nothing
    // at the top of either Applications folder; the containing folder's name elsewhere.
    [[nodiscard]] std::optional<QString> subfolderPath() const;
    [[nodiscard]] std::optional<QString> topSubfolderName() const;
    [[nodiscard]] AppOffloadStatus status() const;
    // "Calculating…" while the size is 0.
    [[nodiscard]] QString sizeFormatted() const;
    // The bundle plus every selected support folder.
    [[nodiscard]] qint64 totalSelectedSize() const;
    [[nodiscard]] QString totalSelectedSizeFormatted() const;

    // Identity is the path alone, whatever the other fields hold.
    friend bool operator==(const AppItem &a, const AppItem &b) { return a.id() == b.id(); }
};

[[nodiscard]] size_t qHash(const AppItem &item, size_t seed = 0) noexcept;
