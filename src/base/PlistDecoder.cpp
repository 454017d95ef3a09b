#include "base/PlistDecoder.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <locale>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace PlistDecoder {
namespace {

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// libplist keeps strings as C strings and aborts on reading one that holds a NUL, and a key
// cut short at a NUL could stand for another key; so a NUL reads as U+FFFD, as any character
// does that cannot be read, and the rest of the list still reads.
constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";
constexpr std::string_view utf8ByteOrderMark = "\xEF\xBB\xBF";

void appendWithoutNul(std::string &out, std::string_view text)
{
    for (const char c : text) {
        if (c == '\0')
            out += replacementCharacter;
        else
            out += c;
    }
}

void appendUtf8(std::string &out, char32_t code)
{
    if (code == 0) {
        out += replacementCharacter;
    } else if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3F));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

bool isSurrogate(char32_t unit)
{
    return unit >= 0xD800 && unit <= 0xDFFF;
}

bool isHighSurrogate(char32_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(char32_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Whether the bytes are UTF-8 as the Mac's reader takes it, which refuses anything else: no
// stray or missing continuation byte, no overlong form, no surrogate, nothing past U+10FFFF.
bool isUtf8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = std::uint8_t(text[at]);
        if (lead < 0x80) {
            ++at;
            continue;
        }
        std::size_t length = 0;
        char32_t least = 0;
        char32_t code = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            least = 0x80;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            least = 0x800;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            least = 0x10000;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (length > text.size() - at)
            return false;
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = std::uint8_t(text[at + i]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = code << 6 | (next & 0x3F);
        }
        if (code < least || code > 0x10FFFF || isSurrogate(code))
            return false;
        at += length;
    }
    return true;
}

// UTF-16 after its byte-order mark, as UTF-8; nothing for an odd length or a broken pair.
std::optional<std::string> utf16ToUtf8(std::string_view bytes, bool bigEndian)
{
    if (bytes.size() % 2 != 0)
        return std::nullopt;
    const auto unit = [&](std::size_t i) -> char16_t {
        const auto first = std::uint8_t(bytes[i]);
        const auto second = std::uint8_t(bytes[i + 1]);
        return bigEndian ? char16_t(first << 8 | second) : char16_t(second << 8 | first);
    };
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const char16_t code = unit(i);
        if (code >= 0xDC00 && code <= 0xDFFF)
            return std::nullopt;
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (i + 2 >= bytes.size())
                return std::nullopt;
            const char16_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF)
                return std::nullopt;
            appendUtf8(out, 0x10000 + ((char32_t(code) - 0xD800) << 10) + (low - 0xDC00));
            i += 2;
            continue;
        }
        appendUtf8(out, code);
    }
    return out;
}

// The text with its byte-order mark read and dropped: UTF-8 as it is, UTF-16 converted; no
// NUL in either.
std::optional<std::string> asUtf8(std::string_view data)
{
    if (startsWith(data, "\xFF\xFE"))
        return utf16ToUtf8(data.substr(2), false);
    if (startsWith(data, "\xFE\xFF"))
        return utf16ToUtf8(data.substr(2), true);
    std::string out;
    out.reserve(data.size());
    appendWithoutNul(out, startsWith(data, utf8ByteOrderMark) ? data.substr(3) : data);
    return out;
}

void appendNumber(std::string &out, std::uint64_t value, std::size_t width)
{
    for (std::size_t i = width; i-- > 0;)
        out += char(value >> (8 * i) & 0xFF);
}

// The marker of a binary object with its length, a long length in an integer after it.
void appendMarker(std::string &out, unsigned kind, std::uint64_t length)
{
    if (length < 15) {
        out += char(kind << 4 | length);
    } else {
        out += char(kind << 4 | 0xF);
        out += '\x13';
        appendNumber(out, length, 8);
    }
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// --- binary -------------------------------------------------------------------------------

// The UTF-16 unit at `at` of big-endian text.
char32_t unitAt(std::string_view text, std::size_t at)
{
    return char32_t(std::uint8_t(text[at])) << 8 | std::uint8_t(text[at + 1]);
}

// Where in big-endian UTF-16 lies a unit libplist cannot hold: a NUL, which it aborts on, or
// a surrogate without its other half, which it drops without a trace, so that "\uD800Key"
// would read as "Key". From `at` on; npos when there is none.
std::size_t unheldUnit(std::string_view units, std::size_t at)
{
    for (; at + 1 < units.size(); at += 2) {
        const char32_t unit = unitAt(units, at);
        if (isHighSurrogate(unit) && at + 3 < units.size() &&
            isLowSurrogate(unitAt(units, at + 2))) {
            at += 2;
            continue;
        }
        if (unit == 0 || isSurrogate(unit))
            return at;
    }
    return std::string_view::npos;
}

// Walks the object graph of a binary property list from its top object and says whether it
// is fit to hand to libplist: every reference and every string inside the file, no cycle,
// and what libplist would build from it within bounds. libplist builds a fresh copy of an
// object at each reference to it, so the bounds apply to the tree after that expansion: a
// few hundred bytes of arrays that each refer twice to the next would otherwise expand to
// billions of values. Each object is read once; its expanded figures are kept.
//
// libplist would also read some lists otherwise than the Mac's reader, through which the
// launcher on a Mac reads its Info.plist: it keeps a string of bytes as it is, where the Mac
// takes each byte for the character of that number (Latin-1, so no such string holds
// U+FEFF); it drops a lone surrogate of UTF-16, which the Mac keeps; and it keeps every
// entry of a dictionary that holds a key twice, where the Mac keeps the first. Those strings
// and dictionaries are noted on the way and mended before libplist reads the list (see
// mended()), so that whoever reads its tree reads what the Mac reads.
class BinaryShape
{
public:
    explicit BinaryShape(std::string_view data)
        : m_data(data)
    {}

    bool acceptable()
    {
        constexpr std::size_t trailerSize = 32;
        if (m_data.size() < 8 + trailerSize)
            return false;
        const std::size_t trailer = m_data.size() - trailerSize;
        m_offsetSize = std::uint8_t(m_data[trailer + 6]);
        m_refSize = std::uint8_t(m_data[trailer + 7]);
        const std::uint64_t count = number(trailer + 8, 8);
        const std::uint64_t top = number(trailer + 16, 8);
        m_table = number(trailer + 24, 8);
        // A writer stores each object once, so more objects than values means more values.
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8 || count == 0 ||
            top >= count || m_table > trailer || count > (trailer - m_table) / m_offsetSize ||
            count > maxValues)
            return false;
        m_count = count;
        m_state.assign(count, unseen);
        m_expanded.assign(count, Expanded());
        if (!walk(top))
            return false;
        noteRepeatedKeys();
        return true;
    }

    // The list as libplist may be given it once acceptable(): as it is, or mended. A string of
    // bytes that is not plain ASCII becomes its text in UTF-8 (textOf()); UTF-16 keeps its
    // units but those libplist cannot hold, which read as U+FFFD; a dictionary that holds a
    // key twice keeps the first entry of each key. Strings of bytes and dictionaries are
    // mended by a copy appended to the objects, which the offset table then points to; UTF-16
    // in place.
    std::string_view mended()
    {
        if (m_texts.empty() && m_repeatedKeys.empty())
            return m_data;
        m_mended.assign(m_data.substr(0, m_table));
        std::vector<std::uint64_t> offsets(m_count);
        for (std::uint64_t i = 0; i < m_count; ++i)
            offsets[i] = number(m_table + i * m_offsetSize, m_offsetSize);
        for (const Object &text : m_texts) {
            if (text.utf16) {
                const std::string_view units = m_data.substr(0, text.textAt + 2 * text.length);
                for (std::size_t at = unheldUnit(units, text.textAt); at != std::string_view::npos;
                     at = unheldUnit(units, at + 2))
                    m_mended.replace(at, 2, "\xFF\xFD");
                continue;
            }
            const std::string bytes = textOf(text);
            offsets[text.index] = m_mended.size();
            appendMarker(m_mended, 0x5, bytes.size());
            m_mended += bytes;
        }
        for (const Repeated &dictionary : m_repeatedKeys) {
            offsets[dictionary.index] = m_mended.size();
            appendMarker(m_mended, 0xD, dictionary.kept.size());
            for (const std::uint64_t half : {std::uint64_t(0), dictionary.entries}) {
                for (const std::uint64_t entry : dictionary.kept)
                    m_mended.append(m_data.substr(dictionary.referencesAt +
                                                      std::size_t(half + entry) * m_refSize,
                                                  m_refSize));
            }
        }
        const std::uint64_t table = m_mended.size();
        const std::size_t offsetSize = table <= 0xFF ? 1 : table <= 0xFFFF ? 2 : 4;
        for (const std::uint64_t offset : offsets)
            appendNumber(m_mended, offset, offsetSize);
        const std::size_t trailer = m_data.size() - 32;
        m_mended.append(m_data.substr(trailer, 6));
        m_mended += char(offsetSize);
        m_mended.append(m_data.substr(trailer + 7, 17)); // reference size, count, top
        appendNumber(m_mended, table, 8);
        return m_mended;
    }

private:
    enum State : std::uint8_t { unseen, open, closed };

    // What one object becomes in libplist's tree: values (dictionary keys included), bytes
    // of strings and data, and levels of nesting. Sums stop just past the bounds.
    struct Expanded
    {
        std::uint64_t values = 0;
        std::uint64_t bytes = 0;
        std::uint64_t height = 0;

        void add(const Expanded &child)
        {
            values = std::min(values + child.values, std::uint64_t(maxValues) + 1);
            bytes = std::min(bytes + child.bytes, std::uint64_t(maxExpandedBytes) + 1);
            height = std::max(height, child.height + 1);
        }
        bool withinBounds() const
        {
            return values <= maxValues && bytes <= maxExpandedBytes &&
                   height < std::uint64_t(maxDepth);
        }
    };

    struct Object
    {
        std::uint64_t index = 0;
        bool dictionary = false;
        std::size_t referencesAt = 0; // where the references of a container start
        std::uint64_t references = 0; // keys and values of a dictionary
        std::uint64_t bytes = 0;      // of a string or data in libplist's tree
        // Of a string.
        bool text = false;
        std::size_t textAt = 0;
        std::uint64_t length = 0; // in units
        bool utf16 = false;
        bool mended = false; // libplist would read it otherwise than the Mac
    };

    // A dictionary to be written anew with the entries it keeps, by their places.
    struct Repeated
    {
        std::uint64_t index;
        std::size_t referencesAt;
        std::uint64_t entries;
        std::vector<std::uint64_t> kept;
    };

    struct Frame
    {
        std::uint64_t object;
        Object read;
        Expanded expanded;
        std::uint64_t next = 0;
    };

    std::uint64_t number(std::size_t at, std::size_t width) const
    {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i)
            value = value << 8 | std::uint8_t(m_data[at + i]);
        return value;
    }

    std::optional<std::size_t> offsetOf(std::uint64_t object) const
    {
        const std::uint64_t offset = number(m_table + object * m_offsetSize, m_offsetSize);
        if (offset < 8 || offset >= m_table)
            return std::nullopt;
        return std::size_t(offset);
    }

    // Where the references of an object lie and the text it holds; nothing when they run
    // past the object area.
    std::optional<Object> read(std::uint64_t object) const
    {
        const std::optional<std::size_t> offset = offsetOf(object);
        if (!offset)
            return std::nullopt;
        const auto marker = std::uint8_t(m_data[*offset]);
        const unsigned kind = marker >> 4;
        const bool container = kind == 0xA || kind == 0xC || kind == 0xD;
        const bool text = kind == 0x4 || kind == 0x5 || kind == 0x6;
        if (!container && !text)
            return Object();
        std::size_t at = *offset + 1;
        std::uint64_t length = marker & 0x0F;
        if (length == 0x0F) {
            if (at >= m_table)
                return std::nullopt;
            const auto lengthMarker = std::uint8_t(m_data[at]);
            const std::size_t width = std::size_t(1) << (lengthMarker & 0x0F);
            if (lengthMarker >> 4 != 0x1 || width > 8 || at + 1 + width > m_table)
                return std::nullopt;
            length = number(at + 1, width);
            at += 1 + width;
        }
        const std::uint64_t room = m_table - at;
        Object result;
        result.index = object;
        if (text) {
            // libplist keeps data as it is, a string with a terminator, and UTF-16 as UTF-8
            // of up to three bytes a unit; a string of bytes is mended to UTF-8 first, where
            // a NUL takes three bytes and any other byte past ASCII two.
            const std::uint64_t unitSize = kind == 0x6 ? 2 : 1;
            if (length > room / unitSize)
                return std::nullopt;
            const std::string_view units = m_data.substr(at, std::size_t(length * unitSize));
            std::uint64_t extra = 0;
            for (const char c : units)
                extra += kind != 0x5 ? 0 : c == '\0' ? 2 : std::uint8_t(c) >= 0x80 ? 1 : 0;
            result.bytes = kind == 0x4 ? length : kind == 0x5 ? length + extra + 1 : 3 * length + 1;
            result.text = kind != 0x4;
            result.textAt = at;
            result.length = length;
            result.utf16 = kind == 0x6;
            if (kind == 0x5)
                result.mended = extra > 0;
            else if (kind == 0x6)
                result.mended =
                    unheldUnit(m_data.substr(0, at + units.size()), at) != std::string_view::npos;
            return result;
        }
        const std::uint64_t references = kind == 0xD ? length * 2 : length;
        if (length > room || references > room / m_refSize)
            return std::nullopt;
        result.dictionary = kind == 0xD;
        result.referencesAt = at;
        result.references = references;
        return result;
    }

    // A string's text as the Mac reads it, in UTF-8, with a NUL or a lone surrogate, which
    // libplist cannot hold, as U+FFFD.
    std::string textOf(const Object &text) const
    {
        std::string out;
        if (!text.utf16) {
            for (const char c : m_data.substr(text.textAt, text.length))
                appendUtf8(out, char32_t(std::uint8_t(c)));
            return out;
        }
        const std::string_view units = m_data.substr(text.textAt, 2 * text.length);
        for (std::size_t at = 0; at < units.size(); at += 2) {
            const char32_t unit = unitAt(units, at);
            if (isHighSurrogate(unit) && at + 3 < units.size() &&
                isLowSurrogate(unitAt(units, at + 2))) {
                appendUtf8(out,
                           0x10000 + ((unit - 0xD800) << 10) + (unitAt(units, at + 2) - 0xDC00));
                at += 2;
            } else {
                appendUtf8(out, isSurrogate(unit) ? char32_t(0xFFFD) : unit);
            }
        }
        return out;
    }

    // Depth first from the top object with a stack of its own, as the file decides the depth.
    bool walk(std::uint64_t top)
    {
        std::vector<Frame> stack;
        const auto enter = [&](std::uint64_t object) {
            const std::optional<Object> read = this->read(object);
            if (!read || stack.size() >= std::size_t(maxDepth))
                return false;
            Frame frame{object, *read, {}};
            frame.expanded.values = 1;
            frame.expanded.bytes = read->bytes;
            if (!frame.expanded.withinBounds())
                return false;
            if (read->mended)
                m_texts.push_back(*read);
            // Only a dictionary of two entries or more can hold a key twice.
            if (read->dictionary && read->references >= 4)
                m_dictionaries.push_back(*read);
            m_state[object] = open;
            stack.push_back(frame);
            return true;
        };
        if (!enter(top))
            return false;
        while (!stack.empty()) {
            Frame &frame = stack.back();
            if (frame.next == frame.read.references) {
                m_state[frame.object] = closed;
                m_expanded[frame.object] = frame.expanded;
                const Expanded done = frame.expanded;
                stack.pop_back();
                if (stack.empty())
                    return true;
                stack.back().expanded.add(done);
                if (!stack.back().expanded.withinBounds())
                    return false;
                continue;
            }
            const std::uint64_t child =
                number(frame.read.referencesAt + std::size_t(frame.next++) * m_refSize, m_refSize);
            if (child >= m_count || m_state[child] == open)
                return false;
            if (m_state[child] == closed) {
                frame.expanded.add(m_expanded[child]);
                if (!frame.expanded.withinBounds())
                    return false;
                continue;
            }
            if (!enter(child))
                return false;
        }
        return true;
    }

    std::uint64_t keyOf(const Object &dictionary, std::uint64_t entry) const
    {
        return number(dictionary.referencesAt + std::size_t(entry) * m_refSize, m_refSize);
    }

    // Notes each dictionary that holds a key twice with the entries the Mac keeps: the first
    // of each key (it adds each entry to a dictionary, which keeps the value it holds). Keys
    // are alike when their texts are, whatever their encodings. The text of each key object is
    // read once and sorted to an identity, so that the time grows with the bytes of the keys
    // and no worse than n log n however they look; a dictionary then compares identities.
    void noteRepeatedKeys()
    {
        constexpr std::uint32_t pending = std::numeric_limits<std::uint32_t>::max();
        std::vector<std::uint32_t> identity(m_dictionaries.empty() ? 0 : m_count, 0);
        std::vector<std::pair<std::string, std::uint64_t>> texts;
        std::uint32_t identities = 0;
        for (const Object &dictionary : m_dictionaries) {
            for (std::uint64_t entry = 0; entry < dictionary.references / 2; ++entry) {
                const std::uint64_t key = keyOf(dictionary, entry);
                if (identity[key] != 0)
                    continue;
                const std::optional<Object> read = this->read(key);
                if (read && read->text) {
                    identity[key] = pending;
                    texts.emplace_back(textOf(*read), key);
                } else {
                    // No string; libplist refuses the list.
                    identity[key] = ++identities;
                }
            }
        }
        std::sort(texts.begin(), texts.end());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (i == 0 || texts[i].first != texts[i - 1].first)
                ++identities;
            identity[texts[i].second] = identities;
        }
        std::vector<std::uint64_t> seenIn(std::size_t(identities) + 1, 0);
        std::uint64_t serial = 0;
        for (const Object &dictionary : m_dictionaries) {
            ++serial;
            const std::uint64_t entries = dictionary.references / 2;
            std::vector<std::uint64_t> kept;
            kept.reserve(std::size_t(entries));
            for (std::uint64_t entry = 0; entry < entries; ++entry) {
                const std::uint32_t key = identity[keyOf(dictionary, entry)];
                if (seenIn[key] == serial)
                    continue;
                seenIn[key] = serial;
                kept.push_back(entry);
            }
            if (kept.size() < entries)
                m_repeatedKeys.push_back(
                    {dictionary.index, dictionary.referencesAt, entries, std::move(kept)});
        }
    }

    std::string_view m_data;
    std::size_t m_offsetSize = 0;
    std::size_t m_refSize = 0;
    std::uint64_t m_table = 0;
    std::uint64_t m_count = 0;
    std::vector<std::uint8_t> m_state;
    std::vector<Expanded> m_expanded;
    std::vector<Object> m_texts;        // to be mended
    std::vector<Object> m_dictionaries; // of two entries or more
    std::vector<Repeated> m_repeatedKeys;
    std::string m_mended;
};

// --- the tree of the text forms ------------------------------------------------------------

// Writes the values that the readers of XML and of the old text form meet as a binary
// property list, which libplist then reads. libplist's own way of filling a dictionary looks
// each key up in a hash table that a few thousand chosen keys fill into one chain, at a cost
// that grows with the square of their count; its binary reader only attaches what it reads.
// A container is written once its values are; a later value of a key takes the place of the
// earlier one, as the Mac's readers of XML and of the old text form have it. Strings go in as
// they are: libplist keeps the bytes of a string object, which hold no NUL here.
class TreeWriter
{
public:
    // Values go into the container opened last until close(). Each of these is false in a
    // dictionary that waits for a key.
    bool open(bool dictionary)
    {
        if (awaitsKey())
            return false;
        m_open.push_back({dictionary});
        return true;
    }
    bool string(std::string_view text) { return attach(writeText(text)); }
    bool data(std::string_view bytes)
    {
        const std::uint32_t object = start();
        appendMarker(m_out, 0x4, bytes.size());
        m_out += bytes;
        return attach(object);
    }
    bool boolean(bool value)
    {
        const std::uint32_t object = start();
        m_out += value ? '\x09' : '\x08';
        return attach(object);
    }
    bool integer(std::uint64_t value) { return number(0x1, value); }
    bool real(double value) { return number(0x2, bitsOf(value)); }
    bool date(double sinceReference) { return number(0x3, bitsOf(sinceReference)); }

    bool awaitsKey() const
    {
        return !m_open.empty() && m_open.back().dictionary && !m_open.back().key;
    }
    // Only where a key is awaited.
    void key(std::string_view key)
    {
        const std::uint32_t object = writeText(key);
        m_open.back().key = Entry{object, m_out.size() - key.size(), key.size(), 0};
    }

    // A key without its value is dropped, as libplist drops it.
    bool close()
    {
        Container done = std::move(m_open.back());
        m_open.pop_back();
        if (!done.dictionary) {
            const std::uint32_t object = start();
            appendMarker(m_out, 0xA, done.values.size());
            for (const std::uint32_t value : done.values)
                appendNumber(m_out, value, referenceSize);
            return attach(object);
        }
        const std::vector<Entry> entries = distinct(std::move(done.entries));
        const std::uint32_t object = start();
        appendMarker(m_out, 0xD, entries.size());
        for (const Entry &entry : entries)
            appendNumber(m_out, entry.key, referenceSize);
        for (const Entry &entry : entries)
            appendNumber(m_out, entry.value, referenceSize);
        return attach(object);
    }

    // The tree once its top value is written, or null.
    Node tree()
    {
        if (!m_top || !m_open.empty())
            return Node();
        const std::uint64_t table = m_out.size();
        for (const std::uint64_t offset : m_offsets)
            appendNumber(m_out, offset, offsetSize);
        m_out.append(6, '\0');
        m_out += char(offsetSize);
        m_out += char(referenceSize);
        appendNumber(m_out, m_offsets.size(), 8);
        appendNumber(m_out, *m_top, 8);
        appendNumber(m_out, table, 8);
        plist_t root = nullptr;
        plist_from_bin(m_out.data(), std::uint32_t(m_out.size()), &root);
        return Node(root);
    }

private:
    // Wide enough for the objects and the bytes of what a file within the bounds holds.
    static constexpr std::size_t referenceSize = 4;
    static constexpr std::size_t offsetSize = 4;

    struct Entry
    {
        std::uint32_t key;
        std::size_t keyAt; // its text in m_out
        std::size_t keyLength;
        std::uint32_t value;
    };

    struct Container
    {
        bool dictionary;
        std::vector<std::uint32_t> values = {};
        std::vector<Entry> entries = {};
        std::optional<Entry> key = std::nullopt;
    };

    static std::uint64_t bitsOf(double value)
    {
        std::uint64_t bits = 0;
        static_assert(sizeof bits == sizeof value);
        std::memcpy(&bits, &value, sizeof bits);
        return bits;
    }

    std::uint32_t start()
    {
        m_offsets.push_back(m_out.size());
        return std::uint32_t(m_offsets.size() - 1);
    }

    std::uint32_t writeText(std::string_view text)
    {
        const std::uint32_t object = start();
        appendMarker(m_out, 0x5, text.size());
        m_out += text;
        return object;
    }

    // An integer, a real or a date of eight bytes.
    bool number(unsigned kind, std::uint64_t bits)
    {
        const std::uint32_t object = start();
        m_out += char(kind << 4 | 0x3);
        appendNumber(m_out, bits, 8);
        return attach(object);
    }

    bool attach(std::uint32_t object)
    {
        if (m_open.empty()) {
            m_top = object;
            return true;
        }
        Container &container = m_open.back();
        if (!container.dictionary) {
            container.values.push_back(object);
            return true;
        }
        if (!container.key)
            return false;
        container.key->value = object;
        container.entries.push_back(*container.key);
        container.key.reset();
        return true;
    }

    // One entry a key, in the place of its first and with the value of its last. Sorted, so
    // that the time grows with the keys' bytes and no worse than n log n however they look.
    std::vector<Entry> distinct(std::vector<Entry> entries) const
    {
        const std::string_view out(m_out);
        const auto keyOf = [&](std::size_t i) {
            return out.substr(entries[i].keyAt, entries[i].keyLength);
        };
        std::vector<std::size_t> order(entries.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return keyOf(a) < keyOf(b); });
        std::vector<bool> first(entries.size(), false);
        for (std::size_t run = 0; run < order.size();) {
            std::size_t end = run + 1;
            while (end < order.size() && keyOf(order[end]) == keyOf(order[run]))
                ++end;
            entries[order[run]].value = entries[order[end - 1]].value;
            first[order[run]] = true;
            run = end;
        }
        std::vector<Entry> kept;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (first[i])
                kept.push_back(entries[i]);
        }
        return kept;
    }

    std::string m_out = "bplist00";
    std::vector<std::uint64_t> m_offsets;
    std::vector<Container> m_open;
    std::optional<std::uint32_t> m_top;
};

// --- XML ------------------------------------------------------------------------------------

// Reads the first value of an XML property list as libplist's parser reads it, into a
// TreeWriter. libplist thus never sees a comment, a CDATA section or an attribute, so nothing
// hidden there can nest deeper or hold more than was counted, and never resolves an entity,
// which it does in time that grows with the square of their count: they are resolved here,
// in one pass. Nothing for what is malformed, nests deeper than maxDepth or holds more than
// maxValues values. Never recurses.
class XmlReader
{
public:
    explicit XmlReader(std::string_view text)
        : m_text(text)
    {}

    Node read()
    {
        for (;;) {
            while (!atEnd() && isXmlSpace(peek()))
                ++m_at;
            if (atEnd() || peek() != '<' || ++m_at == m_text.size())
                return Node();
            const char c = peek();
            bool fine = false;
            if (c == '?')
                fine = skipProcessingInstruction();
            else if (c == '!')
                fine = skipCommentOrDocumentType();
            else if (c == '/')
                fine = closeElement();
            else
                fine = openElement();
            if (!fine)
                return Node();
            if (m_rootDone)
                return m_writer.tree();
        }
    }

private:
    enum class Open { plist, dict, array };

    bool atEnd() const { return m_at >= m_text.size(); }
    char peek() const { return m_text[m_at]; }
    static bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    bool follows(std::string_view word) const { return startsWith(m_text.substr(m_at), word); }

    // Where `word` first occurs from `from` on, read as libplist reads markup (double-quoted
    // runs skipped) and read plainly; the two must agree, so that no reader can take a
    // different end. npos when they do not or there is none.
    std::size_t agreedEnd(std::size_t from, std::string_view word) const
    {
        return agreedWith(from, m_text.find(word, from),
                          [&](std::size_t at) { return startsWith(m_text.substr(at), word); });
    }

    // The same for the first of some characters.
    std::size_t agreedEndOfAny(std::size_t from, std::string_view stops) const
    {
        return agreedWith(from, m_text.find_first_of(stops, from), [&](std::size_t at) {
            return stops.find(m_text[at]) != std::string_view::npos;
        });
    }

    // `plain` when the first place from `from` that `ends` accepts, skipping double-quoted runs,
    // is `plain` too; npos otherwise.
    template<typename Ends>
    std::size_t agreedWith(std::size_t from, std::size_t plain, const Ends &ends) const
    {
        std::size_t at = from;
        while (at < m_text.size() && !ends(at)) {
            if (m_text[at] == '"') {
                at = m_text.find('"', at + 1);
                if (at == std::string_view::npos)
                    return at;
            }
            ++at;
        }
        return at < m_text.size() && at == plain ? plain : std::string_view::npos;
    }

    bool skipProcessingInstruction()
    {
        // From the question mark on, as libplist looks.
        const std::size_t end = agreedEnd(m_at, "?>");
        if (end == std::string_view::npos)
            return false;
        m_at = end + 2;
        return true;
    }

    bool skipCommentOrDocumentType()
    {
        if (follows("!--")) {
            const std::size_t end = m_text.find("-->", m_at + 3);
            if (end == std::string_view::npos)
                return false;
            m_at = end + 3;
            return true;
        }
        // The document type comes before the value and has no internal subset.
        if (!follows("!DOCTYPE") || m_started)
            return false;
        const std::size_t end = agreedEndOfAny(m_at + 8, "[>");
        if (end == std::string_view::npos || m_text[end] != '>')
            return false;
        m_at = end + 1;
        return true;
    }

    // The tag name from here on, as libplist takes it.
    std::string_view tagName()
    {
        const std::size_t start = m_at;
        const std::size_t end = m_text.find_first_of(" \r\n\t<>", start);
        m_at = end == std::string_view::npos ? m_text.size() : end;
        return m_text.substr(start, m_at - start);
    }

    bool closeElement()
    {
        const std::string_view name = tagName();
        while (!atEnd() && isXmlSpace(peek()))
            ++m_at;
        if (atEnd() || peek() != '>' || m_open.empty())
            return false;
        ++m_at;
        const Open open = m_open.back();
        if ((open == Open::plist && name != "/plist") || (open == Open::dict && name != "/dict") ||
            (open == Open::array && name != "/array"))
            return false;
        if (open == Open::plist) {
            // An empty <plist> is refused by libplist too.
            return false;
        }
        m_open.pop_back();
        --m_depth;
        return m_writer.close() && valueDone();
    }

    bool openElement()
    {
        std::string_view name = tagName();
        const std::size_t close = agreedEndOfAny(m_at, "<>");
        if (name.empty() || close == std::string_view::npos || m_text[close] != '>')
            return false;
        const bool empty = m_text[close - 1] == '/';
        if (empty && close == m_at)
            name.remove_suffix(1);
        m_at = close + 1;

        if (name == "plist") {
            // Only around the value, as libplist would otherwise take it for a container.
            if (m_started || empty)
                return false;
            m_open.push_back(Open::plist);
            return true;
        }
        m_started = true;
        if (++m_values > maxValues)
            return false;
        if (name == "dict" || name == "array") {
            const bool dict = name == "dict";
            if (!m_writer.open(dict))
                return false;
            if (empty)
                return m_writer.close() && valueDone();
            if (++m_depth > maxDepth)
                return false;
            m_open.push_back(dict ? Open::dict : Open::array);
            return true;
        }
        if (name == "true" || name == "false") {
            if (!empty && !text(name, nullptr, false))
                return false;
            return m_writer.boolean(name == "true") && valueDone();
        }
        if (name != "key" && name != "string" && name != "integer" && name != "real" &&
            name != "date" && name != "data")
            return false;
        const bool textual = name == "key" || name == "string";
        std::string content;
        if (!empty && !text(name, &content, textual))
            return false;
        // The Mac's reader makes each key and string of its own from the UTF-8 between the
        // tags, which drops a leading U+FEFF and refuses what is not UTF-8; so does this one.
        if (textual && startsWith(content, utf8ByteOrderMark))
            content.erase(0, utf8ByteOrderMark.size());
        if (textual && !isUtf8(content))
            return false;
        // A key where a dictionary waits for one; elsewhere libplist reads it as a string.
        if (name == "key" && m_writer.awaitsKey()) {
            m_writer.key(content);
            return true;
        }
        bool fine = false;
        if (textual)
            fine = m_writer.string(content);
        else if (name == "integer")
            fine = m_writer.integer(integerOf(content));
        else if (name == "real")
            fine = m_writer.real(realOf(content));
        else if (name == "date")
            fine = m_writer.date(dateOf(content));
        else
            fine = m_writer.data(base64Decoded(content));
        return fine && valueDone();
    }

    // As libplist reads it: a sign, then digits as C writes them (0x1f, 017), wrapping as in C.
    static std::uint64_t integerOf(const std::string &text)
    {
        std::size_t at = 0;
        while (at < text.size() && isXmlSpace(text[at]))
            ++at;
        const bool negative = at < text.size() && text[at] == '-';
        if (at < text.size() && (text[at] == '-' || text[at] == '+'))
            ++at;
        const std::uint64_t value = std::strtoull(text.c_str() + at, nullptr, 0);
        return negative ? 0 - value : value;
    }

    // Whatever the program's locale, with a point before the fraction; 0 for no number.
    static double realOf(const std::string &text)
    {
        std::istringstream in(text);
        in.imbue(std::locale::classic());
        double value = 0;
        in >> value;
        return value;
    }

    // Seconds from 2001-01-01 00:00:00 UTC to a time written 2024-02-29T13:45:00Z; 0 for
    // another text.
    static double dateOf(std::string_view text)
    {
        while (!text.empty() && isXmlSpace(text.front()))
            text.remove_prefix(1);
        // Up to `most` digits, then `after`.
        const auto field = [&](std::size_t most, char after, std::int64_t &value) {
            std::size_t digits = 0;
            value = 0;
            for (; digits < most && !text.empty() && text[0] >= '0' && text[0] <= '9'; ++digits) {
                value = value * 10 + (text[0] - '0');
                text.remove_prefix(1);
            }
            if (digits == 0 || text.empty() || text[0] != after)
                return false;
            text.remove_prefix(1);
            return true;
        };
        std::int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
        if (!field(9, '-', year) || !field(2, '-', month) || !field(2, 'T', day) ||
            !field(2, ':', hour) || !field(2, ':', minute) || !field(2, 'Z', second) || month < 1 ||
            month > 12 || day < 1 || day > 31)
            return 0;
        // Days from 1970-01-01 in the proleptic Gregorian calendar.
        const std::int64_t y = year - (month <= 2 ? 1 : 0);
        const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
        const std::int64_t yearOfEra = y - era * 400;
        const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
        const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
        const std::int64_t seconds =
            (era * 146097 + dayOfEra - 719468) * 86400 + hour * 3600 + minute * 60 + second;
        constexpr std::int64_t referenceSinceUnixEpoch = 978307200;
        return double(seconds - referenceSinceUnixEpoch);
    }

    // Base64 with anything outside its alphabet, line breaks and padding among it, passed over.
    static std::string base64Decoded(std::string_view text)
    {
        std::string bytes;
        std::uint32_t bits = 0;
        int count = 0;
        for (const char c : text) {
            int value = -1;
            if (c >= 'A' && c <= 'Z')
                value = c - 'A';
            else if (c >= 'a' && c <= 'z')
                value = c - 'a' + 26;
            else if (c >= '0' && c <= '9')
                value = c - '0' + 52;
            else if (c == '+')
                value = 62;
            else if (c == '/')
                value = 63;
            if (value < 0)
                continue;
            bits = bits << 6 | std::uint32_t(value);
            count += 6;
            if (count >= 8) {
                count -= 8;
                bytes += char(bits >> count & 0xFF);
            }
        }
        return bytes;
    }

    // The text of a leaf element up to its end tag, into `out` when given: comments dropped,
    // CDATA as it is, and plain text with its entities resolved in keys and strings, as it is
    // elsewhere.
    bool text(std::string_view name, std::string *out, bool resolvesEntities)
    {
        for (;;) {
            const std::size_t lt = m_text.find('<', m_at);
            if (lt == std::string_view::npos)
                return false;
            const std::string_view plain = m_text.substr(m_at, lt - m_at);
            if (out && resolvesEntities) {
                if (!appendResolved(*out, plain))
                    return false;
            } else if (out) {
                out->append(plain);
            }
            m_at = lt + 1;
            if (follows("!--")) {
                const std::size_t end = m_text.find("-->", m_at + 3);
                if (end == std::string_view::npos)
                    return false;
                m_at = end + 3;
            } else if (follows("![CDATA[")) {
                const std::size_t start = m_at + 8;
                const std::size_t end = m_text.find("]]>", start);
                if (end == std::string_view::npos)
                    return false;
                if (out)
                    out->append(m_text.substr(start, end - start));
                m_at = end + 3;
            } else if (follows("/")) {
                ++m_at;
                if (!follows(name))
                    return false;
                m_at += name.size();
                while (!atEnd() && isXmlSpace(peek()))
                    ++m_at;
                if (atEnd() || peek() != '>')
                    return false;
                ++m_at;
                return true;
            } else {
                return false;
            }
        }
    }

    // Text with the entities libplist knows resolved: the five named ones and character
    // references. False for any other or one without its end.
    static bool appendResolved(std::string &out, std::string_view text)
    {
        // No more than "#x10FFFF" lies between '&' and ';', or any leading zeros that fit.
        constexpr std::size_t longestEntity = 8;
        for (;;) {
            const std::size_t amp = text.find('&');
            out.append(text.substr(0, amp));
            if (amp == std::string_view::npos)
                return true;
            const std::size_t semicolon = text.substr(amp + 1, longestEntity + 1).find(';');
            if (semicolon == std::string_view::npos || semicolon == 0)
                return false;
            const std::string_view entity = text.substr(amp + 1, semicolon);
            text.remove_prefix(amp + semicolon + 2);
            if (entity == "amp")
                out += '&';
            else if (entity == "lt")
                out += '<';
            else if (entity == "gt")
                out += '>';
            else if (entity == "apos")
                out += '\'';
            else if (entity == "quot")
                out += '"';
            else if (!appendCharacterReference(out, entity))
                return false;
        }
    }

    // "#65" or "#x41".
    static bool appendCharacterReference(std::string &out, std::string_view entity)
    {
        if (entity.size() < 2 || entity[0] != '#')
            return false;
        const bool hex = entity[1] == 'x' || entity[1] == 'X';
        const std::string_view digits = entity.substr(hex ? 2 : 1);
        if (digits.empty())
            return false;
        char32_t code = 0;
        for (const char c : digits) {
            int digit = -1;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            if (digit < 0)
                return false;
            code = code * (hex ? 16 : 10) + char32_t(digit);
        }
        if (code > 0x10FFFF)
            return false;
        appendUtf8(out, code);
        return true;
    }

    // The first value is all libplist reads; what follows it is never read.
    bool valueDone()
    {
        m_rootDone = m_depth == 0;
        return true;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
    TreeWriter m_writer;
    std::vector<Open> m_open;
    int m_depth = 0;
    std::size_t m_values = 0;
    bool m_started = false;
    bool m_rootDone = false;
};

bool looksLikeXml(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size() && isSpace(text[at]))
        ++at;
    const std::string_view rest = text.substr(at);
    return startsWith(rest, "<?") || startsWith(rest, "<!") || startsWith(rest, "<plist");
}

// --- the old text form ---------------------------------------------------------------------

// Dictionaries { key = value; }, arrays ( a, b ), quoted and bare strings, <hex data>, and
// comments. Every value is a string, as the form has no other scalars.
class TextParser
{
public:
    explicit TextParser(std::string_view text)
        : m_text(text)
    {}

    Node parse()
    {
        if (!value(0) || !skipSpace() || m_at != m_text.size())
            return Node();
        return m_writer.tree();
    }

private:
    bool atEnd() const { return m_at >= m_text.size(); }
    char peek() const { return m_text[m_at]; }

    // Skips white space and comments; false on a comment that never ends.
    bool skipSpace()
    {
        while (!atEnd()) {
            if (isSpace(peek())) {
                ++m_at;
            } else if (startsWith(m_text.substr(m_at), "//")) {
                const std::size_t end = m_text.find('\n', m_at);
                m_at = end == std::string_view::npos ? m_text.size() : end + 1;
            } else if (startsWith(m_text.substr(m_at), "/*")) {
                const std::size_t end = m_text.find("*/", m_at + 2);
                if (end == std::string_view::npos)
                    return false;
                m_at = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    static bool isBareCharacter(char c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '$' || c == '/' || c == ':' || c == '.' || c == '-' || c == '+';
    }

    bool value(int depth)
    {
        if (depth >= maxDepth || ++m_values > maxValues || !skipSpace() || atEnd())
            return false;
        const char c = peek();
        if (c == '{')
            return dictionary(depth + 1);
        if (c == '(')
            return array(depth + 1);
        if (c == '<')
            return data();
        const std::optional<std::string> text = string();
        return text && m_writer.string(*text);
    }

    std::optional<std::string> string()
    {
        if (!skipSpace() || atEnd())
            return std::nullopt;
        const char c = peek();
        if (c == '"' || c == '\'')
            return quoted(c);
        const std::size_t start = m_at;
        while (!atEnd() && isBareCharacter(peek()))
            ++m_at;
        if (m_at == start)
            return std::nullopt;
        return std::string(m_text.substr(start, m_at - start));
    }

    static int hexValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    std::optional<std::string> quoted(char quote)
    {
        ++m_at;
        std::string out;
        while (!atEnd()) {
            const char c = m_text[m_at++];
            if (c == quote)
                return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (atEnd())
                return std::nullopt;
            const char escaped = m_text[m_at++];
            switch (escaped) {
            case 'a':
                out += '\a';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'v':
                out += '\v';
                break;
            case 'U':
            case 'u': {
                char32_t code = 0;
                int digits = 0;
                while (digits < 4 && !atEnd() && hexValue(peek()) >= 0) {
                    code = code << 4 | char32_t(hexValue(m_text[m_at++]));
                    ++digits;
                }
                if (digits == 0 || (code >= 0xD800 && code <= 0xDFFF))
                    return std::nullopt;
                appendUtf8(out, code);
                break;
            }
            default:
                if (escaped >= '0' && escaped <= '7') {
                    char32_t code = char32_t(escaped - '0');
                    for (int digits = 1; digits < 3 && !atEnd() && peek() >= '0' && peek() <= '7';
                         ++digits)
                        code = code << 3 | char32_t(m_text[m_at++] - '0');
                    appendUtf8(out, code);
                } else {
                    out += escaped;
                }
            }
        }
        return std::nullopt;
    }

    bool data()
    {
        ++m_at;
        std::string bytes;
        int high = -1;
        while (!atEnd()) {
            const char c = m_text[m_at++];
            if (c == '>')
                return high < 0 && m_writer.data(bytes);
            if (isSpace(c))
                continue;
            const int nibble = hexValue(c);
            if (nibble < 0)
                return false;
            if (high < 0) {
                high = nibble;
            } else {
                bytes += char(high << 4 | nibble);
                high = -1;
            }
        }
        return false;
    }

    bool array(int depth)
    {
        ++m_at;
        m_writer.open(false);
        for (;;) {
            if (!skipSpace() || atEnd())
                return false;
            if (peek() == ')') {
                ++m_at;
                return m_writer.close();
            }
            if (!value(depth) || !skipSpace() || atEnd())
                return false;
            if (peek() == ',')
                ++m_at;
            else if (peek() != ')')
                return false;
        }
    }

    bool dictionary(int depth)
    {
        ++m_at;
        m_writer.open(true);
        for (;;) {
            if (!skipSpace() || atEnd())
                return false;
            if (peek() == '}') {
                ++m_at;
                return m_writer.close();
            }
            const std::optional<std::string> key = string();
            if (!key || ++m_values > maxValues || !skipSpace() || atEnd() || peek() != '=')
                return false;
            ++m_at;
            m_writer.key(*key);
            if (!value(depth) || !skipSpace() || atEnd())
                return false;
            if (peek() == ';')
                ++m_at;
            else if (peek() != '}')
                return false;
        }
    }

    std::string_view m_text;
    std::size_t m_at = 0;
    std::size_t m_values = 0;
    TreeWriter m_writer;
};

} // namespace

Node decode(const char *data, std::size_t size)
{
    if (!data || size == 0 || size > maxFileSize)
        return Node();
    const std::string_view raw(data, size);
    if (startsWith(raw, "bplist00")) {
        BinaryShape shape(raw);
        if (!shape.acceptable())
            return Node();
        const std::string_view list = shape.mended();
        plist_t root = nullptr;
        plist_from_bin(list.data(), std::uint32_t(list.size()), &root);
        return Node(root);
    }
    const std::optional<std::string> text = asUtf8(raw);
    if (!text || text->empty())
        return Node();
    if (looksLikeXml(*text))
        return XmlReader(*text).read();
    // The Mac reads the old text form as a whole, and none that is not UTF-8.
    if (!isUtf8(*text))
        return Node();
    return TextParser(*text).parse();
}

Node decodeFile(const std::string &path)
{
    // Without blocking, so that a pipe in place of the file cannot hold the reader.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Node();
    struct stat info
    {};
    std::string data;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        std::uint64_t(info.st_size) <= maxFileSize) {
        // Up to one byte past the bound, in case the file grew since.
        data.reserve(std::size_t(info.st_size) + 1);
        char chunk[16384];
        while (data.size() <= maxFileSize) {
            const ssize_t got =
                ::read(fd, chunk, std::min(sizeof chunk, maxFileSize + 1 - data.size()));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            data.append(chunk, std::size_t(got));
        }
    }
    ::close(fd);
    return decode(data.data(), data.size());
}

} // namespace PlistDecoder
