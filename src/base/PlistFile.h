#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>
#include <optional>
#include <utility>

// Property lists over libplist: every form a Mac writes in (see PlistDecoder), XML or binary
// out.
namespace PlistFile {

enum class Format { Xml, Binary };

// A dictionary whose keys keep the order in which they were given.
using Entries = QList<std::pair<QString, QVariant>>;

// Parses XML (UTF-8 or UTF-16), binary or old text-form data. Dictionaries become QVariantMap,
// arrays QVariantList, booleans bool, integers qint64, reals double, strings QString, data
// QByteArray and dates QDateTime (UTC). Nothing on malformed data.
[[nodiscard]] std::optional<QVariant> parse(const QByteArray &data);
// Nothing also for a file that is no regular file or too large (see PlistDecoder).
[[nodiscard]] std::optional<QVariant> read(const QString &path);
// The top-level dictionary of a file; nothing when missing, unreadable or not a dictionary.
[[nodiscard]] std::optional<QVariantMap> readDictionary(const QString &path);

// Serialises a top-level dictionary with its keys in the given order. Values may nest
// QVariantMap (written in key order) and QVariantList.
[[nodiscard]] QByteArray serialize(const Entries &entries, Format format);
// Writes atomically; false when the file cannot be written.
[[nodiscard]] bool write(const QString &path, const Entries &entries, Format format);

} // namespace PlistFile
