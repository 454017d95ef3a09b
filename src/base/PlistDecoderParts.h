#pragma once

// The parts of PlistDecoder, one a file, and what they share; for the decoder alone. The
// binary walker (PlistBinaryWalker.cpp) checks and mends a binary list before libplist reads
// it; the XML reader (PlistXmlReader.cpp) and the reader of the old text form
// (PlistTextReader.cpp) read their forms, decoded by PlistTextEncoding.cpp, into a TreeWriter
// (PlistListWriter.cpp), which writes what they meet as a binary list for libplist.

#include "base/PlistDecoder.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace PlistDecoder::detail {

bool startsWith(std::string_view text, std::string_view prefix);

// libplist keeps strings as C strings and aborts on reading one that holds a NUL, and a key
// cut short at a NUL could stand for another key; so a NUL reads as U+FFFD, as any character
// does that cannot be read, and the rest of the list still reads.
inline constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";
inline constexpr std::string_view utf8ByteOrderMark = "\xEF\xBB\xBF";

void appendWithoutNul(std::string &out, std::string_view text);
void appendUtf8(std::string &out, char32_t code);
bool isSurrogate(char32_t unit);
bool isHighSurrogate(char32_t unit);
bool isLowSurrogate(char32_t unit);
// Whether the bytes are well-formed UTF-8: no stray or missing continuation byte, no overlong
// form, no surrogate, nothing past U+10FFFF.
bool isUtf8(std::string_view text);
// The text as the Mac's UTF-8 decoder reads it, which refuses what is not well-formed, but for
// a byte 0xA9 where a character should begin: that reads as U+FFFD. In UTF-8, or in UTF-16
// units; nothing for text the Mac refuses.
std::optional<std::string> macUtf8(std::string_view text);
std::optional<std::u16string> macUtf16(std::string_view text);
// UTF-16 units as UTF-8, with a surrogate alone and a NUL as U+FFFD.
std::string utf16AsUtf8(std::u16string_view units);
// The text with its byte-order mark read and dropped: UTF-8 as it is, UTF-16 converted; no
// NUL in either.
std::optional<std::string> asUtf8(std::string_view data);
// The text of data that is no binary list, in UTF-8 without a NUL, decoded as the Mac decodes
// it (PlistTextEncoding.cpp): by its byte-order mark, else from the encoding that an XML
// declaration at its very start names; nothing for what the Mac refuses.
std::optional<std::string> textOf(std::string_view data);
void appendNumber(std::string &out, std::uint64_t value, std::size_t width);
// The marker of a binary object with its length, a long length in an integer after it.
void appendMarker(std::string &out, unsigned kind, std::uint64_t length);
bool isSpace(char c);

// The tree libplist reads from a binary list, once the walk of that very list finds it fit:
// within the bounds, and nothing that libplist would read otherwise than the Mac, abort on or
// convert with undefined behaviour. Null otherwise.
Node treeOf(std::string_view list);
// The root of a binary list, mended so that it is fit, or null.
Node readBinary(std::string_view data);
// The first value of an XML property list, or null.
Node readXml(std::string_view text);
// A list in the old text form, or null.
Node readText(std::string_view text);

// Writes the values that the readers of XML and of the old text form meet as a binary
// property list, which libplist then reads. libplist's own way of filling a dictionary looks
// each key up in a hash table that a few thousand chosen keys fill into one chain, at a cost
// that grows with the square of their count; its binary reader only attaches what it reads.
// A container is written once its values are; a later value of a key takes the place of the
// earlier one, as the Mac's readers of XML and of the old text form have it. Strings go in as
// they are: libplist keeps the bytes of a string object, which are UTF-8 without a NUL here.
// A date libplist cannot hold safely is left out (see PlistCompat::holdsDate()), with its key.
class TreeWriter
{
public:
    // Values go into the container opened last until close(). Each of these is false in a
    // dictionary that waits for a key.
    bool open(bool dictionary);
    bool string(std::string_view text);
    bool data(std::string_view bytes);
    bool boolean(bool value);
    bool integer(std::uint64_t value);
    bool real(double value);
    bool date(double sinceReference);

    bool awaitsKey() const;
    // Only where a key is awaited.
    void key(std::string_view key);

    // A key without its value is dropped, as libplist drops it.
    bool close();

    // The tree once its top value is written, or null.
    Node tree();

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

    static std::uint64_t bitsOf(double value);
    std::uint32_t start();
    std::uint32_t writeText(std::string_view text);
    // An integer, a real or a date of eight bytes.
    bool number(unsigned kind, std::uint64_t bits);
    bool attach(std::uint32_t object);
    // One entry a key, in the place of its first and with the value of its last. Sorted, so
    // that the time grows with the keys' bytes and no worse than n log n however they look.
    std::vector<Entry> distinct(std::vector<Entry> entries) const;

    std::string m_out = "bplist00";
    std::vector<std::uint64_t> m_offsets;
    std::vector<Container> m_open;
    std::optional<std::uint32_t> m_top;
};

} // namespace PlistDecoder::detail
