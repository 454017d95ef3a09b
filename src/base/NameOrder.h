#pragma once

#include <QCollator>
#include <QString>

// The order of names in the file browser's lists: case-insensitive, digit runs compared as
// numbers ("Tool 2" before "Tool 10"). The C locale's collator compares code units only,
// so English collation stands in there.
[[nodiscard]] QCollator fileBrowserCollator();
[[nodiscard]] int compareFileBrowserNames(const QString &a, const QString &b);
