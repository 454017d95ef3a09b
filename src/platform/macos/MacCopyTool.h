#pragma once

#include <QString>
#include <QStringList>

// The staged copy on a Mac: ditto copies `source` to `destination` with permissions,
// extended attributes and links, creating `destination`.
[[nodiscard]] QStringList macCopyToolArguments(const QString &source, const QString &destination);
