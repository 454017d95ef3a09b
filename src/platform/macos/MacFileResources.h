#pragma once

#include "platform/FileResources.h"
#include "platform/macos/DarwinCalls.h"

#include <QByteArray>

// Package, hidden and alias facts on a Mac. An alias file is told by the header of the
// bookmark data Finder writes into it; resolving one is the platform's.
class MacFileResources : public FileResources
{
public:
    explicit MacFileResources(std::shared_ptr<DarwinCalls> darwin);

    [[nodiscard]] bool isHidden(const QString &path) override;
    [[nodiscard]] std::optional<bool> isAliasFile(const QString &path) override;
    [[nodiscard]] std::optional<QString> resolveAliasFile(const QString &path) override;
    // The flags chflags sets, by the names its users know them.
    [[nodiscard]] std::optional<QString> removalLock(const QString &path) override;

    // Whether a file starting with `head` holds bookmark data: "book", four zero bytes,
    // "mark", four zero bytes.
    [[nodiscard]] static bool hasBookmarkHeader(const QByteArray &head);

private:
    std::shared_ptr<DarwinCalls> m_darwin;
};
