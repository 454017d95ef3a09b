#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Binary property lists put together object by object, including what no writer makes.

[[nodiscard]] QByteArray bigEndian(quint64 value, int width);
// The marker of an object with its length, long lengths in an integer after it.
[[nodiscard]] QByteArray markerWithLength(int kind, quint64 length);
[[nodiscard]] QByteArray arrayObject(const QList<quint64> &refs, int refSize);
[[nodiscard]] QByteArray stringObject(const QByteArray &ascii);
[[nodiscard]] QByteArray utf16Object(const QString &text);
// A date of `sinceReference` seconds from 2001-01-01 00:00:00 UTC.
[[nodiscard]] QByteArray dateObject(double sinceReference);
// A dictionary of `count` entries whose keys and then values are the next objects.
[[nodiscard]] QByteArray dictionaryObject(int count = 1);
// A binary property list of the given objects, encoded with references `refSize` wide; the
// first is the top.
[[nodiscard]] QByteArray binaryList(const QList<QByteArray> &objects, int refSize);
// A binary property list of the bytes after its header, the offset of each object in the file
// and the top object.
[[nodiscard]] QByteArray binaryListAt(const QByteArray &objects, const QList<quint64> &offsets,
                                      quint64 top, int refSize);

// A UTF-16 string holding a unit no reader keeps (a NUL or a lone surrogate) whose bytes are
// also those of another object: a dictionary's references, or a string's length. Put U+FFFD
// in place of that unit in the file and the other object changes: a key "CFBundleName" then
// leads to a string holding a NUL, or a string runs on over a NUL. Read right, each is a
// dictionary whose "CFBundleName" is "\uD202\uFFFD" or 220 x.
enum class OverlappingUnit { nulOverReferences, surrogateOverReferences, surrogateOverLength };
[[nodiscard]] QByteArray overlappingUnitList(OverlappingUnit shape);
