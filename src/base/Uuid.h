#pragma once

#include <QString>

// A new random UUID in the platform's text form: 36 upper-case characters, 8-4-4-4-12.
[[nodiscard]] QString newUuidText();

// True when `text` is exactly such a UUID text.
[[nodiscard]] bool isUuidText(const QString &text);
