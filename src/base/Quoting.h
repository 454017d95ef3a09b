#pragma once

#include <QString>

// Quoting for command texts that another interpreter reads back.
namespace Quoting {

// One word for the POSIX shell whatever `text` holds: wrapped in single quotes, each
// embedded single quote written as '\''; the empty text is ''.
[[nodiscard]] QString shellQuote(const QString &text);

// `text` made fit to stand between double quotes in an AppleScript source: backslash,
// double quote, carriage return and line feed become \\, \", \r and \n.
[[nodiscard]] QString appleScriptEscape(const QString &text);

} // namespace Quoting
