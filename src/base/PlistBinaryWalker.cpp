#include "base/PlistCompat.h"
#include "base/PlistDecoderParts.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <plist/plist.h>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace PlistDecoder::detail {
namespace {

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

// How a list is taken.
enum class Reading {
    // A file as the Mac reads it: a string of bytes is Latin-1, and whatever libplist would
    // read otherwise is noted, to be mended.
    file,
    // The very list libplist is then given: a string of bytes is UTF-8, as libplist keeps it,
    // and nothing may be left to mend.
    checked,
};

// Walks the object graph of a binary property list from its top object and says whether it
// is fit to hand to libplist: every reference and every string inside the file, no cycle,
// and what libplist would build from it within bounds. libplist builds a fresh copy of an
// object at each reference to it, so the bounds apply to the tree after that expansion: a
// few hundred bytes of arrays that each refer twice to the next would otherwise expand to
// billions of values. Each object is read once; its expanded figures are kept.
//
// libplist would also read some files otherwise than the Mac's reader, through which the
// launcher on a Mac reads its Info.plist, or not safely: it keeps a string of bytes as it is,
// where the Mac takes each byte for the character of that number (Latin-1, so no such string
// holds U+FEFF); it aborts on a NUL and drops a lone surrogate of UTF-16, which the Mac keeps;
// it keeps every entry of a dictionary that holds a key twice, where the Mac keeps the first;
// it holds a date it cannot convert safely (PlistCompat::holdsDate()), which is left out; and
// before 2.3 it refuses the whole list for a null, which later versions and the Mac read, so a
// null is left out too, for every version alike (as a key it stays, and every libplist refuses
// a key that is no string).
// Those strings and containers are noted on the way and mended before libplist reads the
// file (see mended()), so that whoever reads its tree reads what the Mac reads.
class BinaryWalker
{
public:
    BinaryWalker(std::string_view data, Reading reading)
        : m_data(data)
        , m_reading(reading)
    {}

    // Whether the list is fit for libplist: as it is when checked, once mended when a file.
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
        m_leftOut.assign(count, false);
        if (!walk(top) || m_leftOut[top])
            return false;
        if (m_reading == Reading::checked)
            return m_texts.empty() && m_leftOutReached == 0 && !holdsRepeatedKeys();
        noteRewrites();
        return true;
    }

    // The file as libplist may be given it once acceptable(): as it is, or mended, never in
    // place, since the bytes of one object may be those of others too. A string of bytes that
    // is not plain ASCII becomes its text in UTF-8 (textOf()); UTF-16 keeps its units but
    // those libplist cannot hold, which read as U+FFFD; a dictionary that holds a key twice
    // keeps the first entry of each key; a container leaves out the values that are left out.
    // Each is a copy appended to the objects, which the offset table then points to.
    std::string_view mended()
    {
        if (m_texts.empty() && m_rewrites.empty())
            return m_data;
        m_mended.assign(m_data.substr(0, m_table));
        std::vector<std::uint64_t> offsets(m_count);
        for (std::uint64_t i = 0; i < m_count; ++i)
            offsets[i] = number(m_table + i * m_offsetSize, m_offsetSize);
        for (const Object &text : m_texts) {
            offsets[text.index] = m_mended.size();
            if (!text.utf16) {
                const std::string bytes = textOf(text);
                appendMarker(m_mended, 0x5, bytes.size());
                m_mended += bytes;
                continue;
            }
            appendMarker(m_mended, 0x6, text.length);
            const std::size_t start = m_mended.size();
            m_mended.append(m_data.substr(text.textAt, 2 * text.length));
            const std::string_view units = m_data.substr(0, text.textAt + 2 * text.length);
            for (std::size_t at = unheldUnit(units, text.textAt); at != std::string_view::npos;
                 at = unheldUnit(units, at + 2))
                m_mended.replace(start + (at - text.textAt), 2, "\xFF\xFD");
        }
        for (const Rewrite &container : m_rewrites) {
            offsets[container.index] = m_mended.size();
            appendMarker(m_mended, container.dictionary ? 0xD : 0xA, container.kept.size());
            const std::uint64_t halves = container.dictionary ? 2 : 1;
            for (std::uint64_t half = 0; half < halves; ++half) {
                for (const std::uint64_t entry : container.kept)
                    m_mended.append(
                        m_data.substr(container.referencesAt +
                                          std::size_t(half * container.entries + entry) * m_refSize,
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
        bool mended = false;  // libplist would read it otherwise than the Mac, or not at all
        bool leftOut = false; // a date libplist cannot hold, or a null
    };

    // A container to be written anew with the entries it keeps, by their places.
    struct Rewrite
    {
        std::uint64_t index;
        bool dictionary;
        std::size_t referencesAt;
        std::uint64_t entries; // of a dictionary, pairs
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
        Object result;
        result.index = object;
        if (marker == 0x00) {
            result.leftOut = true;
            return result;
        }
        if (kind == 0x3) {
            // libplist takes nothing but eight bytes for a date.
            if ((marker & 0x0F) == 3 && *offset + 9 <= m_table) {
                const std::uint64_t bits = number(*offset + 1, 8);
                double sinceReference = 0;
                static_assert(sizeof bits == sizeof sinceReference);
                std::memcpy(&sinceReference, &bits, sizeof bits);
                result.leftOut = !PlistCompat::holdsDate(sinceReference);
            }
            return result;
        }
        if (!container && !text)
            return result;
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
        if (text) {
            // libplist keeps data as it is, a string with a terminator, and UTF-16 as UTF-8
            // of up to three bytes a unit; a string of bytes of a file is mended to UTF-8
            // first, where a NUL takes three bytes and any other byte past ASCII two.
            const std::uint64_t unitSize = kind == 0x6 ? 2 : 1;
            if (length > room / unitSize)
                return std::nullopt;
            const std::string_view units = m_data.substr(at, std::size_t(length * unitSize));
            std::uint64_t extra = 0;
            if (kind == 0x5 && m_reading == Reading::file) {
                for (const char c : units)
                    extra += c == '\0' ? 2 : std::uint8_t(c) >= 0x80 ? 1 : 0;
            }
            result.bytes = kind == 0x4 ? length : kind == 0x5 ? length + extra + 1 : 3 * length + 1;
            result.text = kind != 0x4;
            result.textAt = at;
            result.length = length;
            result.utf16 = kind == 0x6;
            if (kind == 0x5 && m_reading == Reading::file)
                result.mended = extra > 0;
            else if (kind == 0x5)
                result.mended = units.find('\0') != std::string_view::npos || !isUtf8(units);
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
    // libplist cannot hold, as U+FFFD. A checked string of bytes is UTF-8 already.
    std::string textOf(const Object &text) const
    {
        std::string out;
        if (!text.utf16 && m_reading == Reading::checked)
            return std::string(m_data.substr(text.textAt, text.length));
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
            if (read->leftOut) {
                m_leftOut[object] = true;
                ++m_leftOutReached;
            }
            // Only a dictionary of two entries or more can hold a key twice.
            if (read->dictionary && read->references >= 4)
                m_dictionaries.push_back(*read);
            if (read->references > 0)
                m_containers.push_back(object);
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

    std::uint64_t referenceOf(const Object &container, std::uint64_t place) const
    {
        return number(container.referencesAt + std::size_t(place) * m_refSize, m_refSize);
    }

    // For each dictionary of two entries or more, the entries the Mac keeps: the first of each
    // key (it adds each entry to a dictionary, which keeps the value it holds). Keys are alike
    // when their texts are, whatever their encodings. The text of each key object is read once
    // and sorted to an identity, so that the time grows with the bytes of the keys and no
    // worse than n log n however they look; a dictionary then compares identities.
    std::vector<Rewrite> firstOfEachKey() const
    {
        constexpr std::uint32_t pending = std::numeric_limits<std::uint32_t>::max();
        std::vector<std::uint32_t> identity(m_dictionaries.empty() ? 0 : m_count, 0);
        std::vector<std::pair<std::string, std::uint64_t>> texts;
        std::uint32_t identities = 0;
        for (const Object &dictionary : m_dictionaries) {
            for (std::uint64_t entry = 0; entry < dictionary.references / 2; ++entry) {
                const std::uint64_t key = referenceOf(dictionary, entry);
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
        std::vector<Rewrite> dictionaries;
        std::vector<std::uint64_t> seenIn(std::size_t(identities) + 1, 0);
        std::uint64_t serial = 0;
        for (const Object &dictionary : m_dictionaries) {
            ++serial;
            const std::uint64_t entries = dictionary.references / 2;
            std::vector<std::uint64_t> kept;
            kept.reserve(std::size_t(entries));
            for (std::uint64_t entry = 0; entry < entries; ++entry) {
                const std::uint32_t key = identity[referenceOf(dictionary, entry)];
                if (seenIn[key] == serial)
                    continue;
                seenIn[key] = serial;
                kept.push_back(entry);
            }
            dictionaries.push_back(
                {dictionary.index, true, dictionary.referencesAt, entries, std::move(kept)});
        }
        return dictionaries;
    }

    bool holdsRepeatedKeys() const
    {
        for (const Rewrite &dictionary : firstOfEachKey()) {
            if (dictionary.kept.size() < dictionary.entries)
                return true;
        }
        return false;
    }

    // Notes each container that keeps fewer entries than it holds: a dictionary that holds a
    // key twice keeps the first of each, and no container keeps a value that is left out.
    void noteRewrites()
    {
        std::unordered_map<std::uint64_t, Rewrite> rewrites;
        for (Rewrite &dictionary : firstOfEachKey())
            rewrites.emplace(dictionary.index, std::move(dictionary));
        if (m_leftOutReached > 0) {
            for (const std::uint64_t index : m_containers) {
                const Object container = *read(index);
                const std::uint64_t entries =
                    container.dictionary ? container.references / 2 : container.references;
                const std::uint64_t values = container.dictionary ? entries : 0;
                auto found = rewrites.find(index);
                if (found == rewrites.end()) {
                    Rewrite all{index, container.dictionary, container.referencesAt, entries, {}};
                    for (std::uint64_t entry = 0; entry < entries; ++entry)
                        all.kept.push_back(entry);
                    found = rewrites.emplace(index, std::move(all)).first;
                }
                std::vector<std::uint64_t> &kept = found->second.kept;
                kept.erase(
                    std::remove_if(kept.begin(), kept.end(),
                                   [&](std::uint64_t entry) {
                                       return m_leftOut[referenceOf(container, values + entry)];
                                   }),
                    kept.end());
            }
        }
        for (auto &entry : rewrites) {
            if (entry.second.kept.size() < entry.second.entries)
                m_rewrites.push_back(std::move(entry.second));
        }
        // In the order of the objects, so that a file always mends alike.
        std::sort(m_rewrites.begin(), m_rewrites.end(),
                  [](const Rewrite &a, const Rewrite &b) { return a.index < b.index; });
    }

    std::string_view m_data;
    Reading m_reading;
    std::size_t m_offsetSize = 0;
    std::size_t m_refSize = 0;
    std::uint64_t m_table = 0;
    std::uint64_t m_count = 0;
    std::vector<std::uint8_t> m_state;
    std::vector<Expanded> m_expanded;
    std::vector<bool> m_leftOut;
    std::uint64_t m_leftOutReached = 0;
    std::vector<Object> m_texts;             // to be mended
    std::vector<Object> m_dictionaries;      // of two entries or more
    std::vector<std::uint64_t> m_containers; // of one value or more
    std::vector<Rewrite> m_rewrites;
    std::string m_mended;
};

} // namespace

Node treeOf(std::string_view list)
{
    BinaryWalker checked(list, Reading::checked);
    if (!checked.acceptable())
        return Node();
    plist_t root = nullptr;
    plist_from_bin(list.data(), std::uint32_t(list.size()), &root);
    return Node(root);
}

Node readBinary(std::string_view data)
{
    BinaryWalker file(data, Reading::file);
    if (!file.acceptable())
        return Node();
    return treeOf(file.mended());
}

} // namespace PlistDecoder::detail
