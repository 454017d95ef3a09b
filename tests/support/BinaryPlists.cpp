#include "support/BinaryPlists.h"

#include <cstring>

QByteArray bigEndian(quint64 value, int width)
{
    QByteArray bytes(width, '\0');
    for (int i = width - 1; i >= 0; --i, value >>= 8)
        bytes[i] = char(value & 0xFF);
    return bytes;
}

QByteArray markerWithLength(int kind, quint64 length)
{
    if (length < 15)
        return QByteArray(1, char(kind << 4 | int(length)));
    return QByteArray(1, char(kind << 4 | 0xF)) + char(0x13) + bigEndian(length, 8);
}

QByteArray arrayObject(const QList<quint64> &refs, int refSize)
{
    QByteArray out = markerWithLength(0xA, quint64(refs.size()));
    for (const quint64 ref : refs)
        out += bigEndian(ref, refSize);
    return out;
}

QByteArray stringObject(const QByteArray &ascii)
{
    return markerWithLength(0x5, quint64(ascii.size())) + ascii;
}

QByteArray utf16Object(const QString &text)
{
    QByteArray out = markerWithLength(0x6, quint64(text.size()));
    for (const QChar c : text)
        out += bigEndian(c.unicode(), 2);
    return out;
}

QByteArray dateObject(double sinceReference)
{
    quint64 bits = 0;
    static_assert(sizeof bits == sizeof sinceReference);
    std::memcpy(&bits, &sinceReference, sizeof bits);
    return QByteArray(1, '\x33') + bigEndian(bits, 8);
}

QByteArray dictionaryObject(int count)
{
    QByteArray out = markerWithLength(0xD, quint64(count));
    for (int ref = 1; ref <= 2 * count; ++ref)
        out += char(ref);
    return out;
}

QByteArray binaryListAt(const QByteArray &objects, const QList<quint64> &offsets, quint64 top,
                        int refSize)
{
    QByteArray data = "bplist00" + objects;
    const quint64 table = quint64(data.size());
    const int offsetSize = table < 0x100 ? 1 : table < 0x10000 ? 2 : 4;
    for (const quint64 offset : offsets)
        data += bigEndian(offset, offsetSize);
    data += QByteArray(6, '\0') + char(offsetSize) + char(refSize);
    data += bigEndian(quint64(offsets.size()), 8) + bigEndian(top, 8) + bigEndian(table, 8);
    return data;
}

QByteArray binaryList(const QList<QByteArray> &objects, int refSize)
{
    QByteArray area;
    QList<quint64> offsets;
    for (const QByteArray &object : objects) {
        offsets.append(quint64(8 + area.size()));
        area += object;
    }
    return binaryListAt(area, offsets, 0, refSize);
}

QByteArray overlappingUnitList(OverlappingUnit shape)
{
    const QByteArray bundleName = stringObject("CFBundleName");
    if (shape == OverlappingUnit::surrogateOverLength) {
        // 8: a string of two units, whose second is the 220 (0xDC) of the length of the string
        // after it and the first byte of that string's text: a lone U+DC00. That string
        // holds 220 x; as 255 units it would run on over a NUL.
        QByteArray area("\x62\x6F\x10\xDC", 4);
        area += QByteArray("\x00x", 2).repeated(220);
        area += QByteArray(2, '\0');
        while (area.size() < 4 + 255 * 2)
            area += QByteArray("\x00"
                               "A",
                               2);
        const quint64 top = quint64(8 + area.size());
        area += QByteArray("\xD2\x03\x04\x01\x00", 5);
        const quint64 key = quint64(8 + area.size());
        area += bundleName;
        const quint64 otherKey = quint64(8 + area.size());
        area += stringObject("S");
        return binaryListAt(area, {8, 9, top, key, otherKey}, 2, 1);
    }
    // 8: a string of two units; the dictionary at 9 begins inside it, so that its second unit
    // is the dictionary's second key and first value: 00 00 (a NUL; the key and the value are
    // that string) or D8 00 (a lone high surrogate; the key "TargetVolumeName"). As FF FD they
    // would lead to objects 255 and 253, which nothing else reaches: "CFBundleName" and
    // "/a<NUL>b".
    const bool nul = shape == OverlappingUnit::nulOverReferences;
    QByteArray area("\x62\xD2\x02", 3);
    area += nul ? QByteArray("\x00\x00\x02", 3) : QByteArray("\xD8\x00\x02", 3);
    const quint64 key = quint64(8 + area.size());
    area += bundleName;
    const quint64 otherKey = quint64(8 + area.size());
    area += stringObject("TargetVolumeName");
    const quint64 withNul = quint64(8 + area.size());
    area += utf16Object(QStringLiteral("/a") + QChar(0) + QStringLiteral("b"));
    QList<quint64> offsets(256, key);
    offsets[0] = 8;
    offsets[1] = 9;
    offsets[0xD8] = otherKey;
    offsets[253] = withNul;
    return binaryListAt(area, offsets, 1, 1);
}
