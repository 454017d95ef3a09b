#include "base/PlistDecoder.h"

#include "base/PlistDecoderParts.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace PlistDecoder {
namespace detail {
namespace {

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

} // namespace

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

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

namespace {

// Calls `character` with each character of UTF-8 `text`; false at the first ill-formed byte:
// a stray or missing continuation byte, an overlong form, a surrogate, anything past
// U+10FFFF. The Mac's decoder takes a byte 0xA9 where a character should begin for U+FFFD
// instead, so that old files with a "©" of MacRoman or Latin-1 still read; so does this one
// when `asTheMac`.
template<typename Character>
bool decodeUtf8(std::string_view text, bool asTheMac, const Character &character)
{
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = std::uint8_t(text[at]);
        if (lead < 0x80) {
            character(char32_t(lead));
            ++at;
            continue;
        }
        if (lead == 0xA9 && asTheMac) {
            character(char32_t(0xFFFD));
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
        character(code);
        at += length;
    }
    return true;
}

} // namespace

bool isUtf8(std::string_view text)
{
    return decodeUtf8(text, false, [](char32_t) {});
}

std::optional<std::string> macUtf8(std::string_view text)
{
    // Most text is well-formed and stays as it is.
    if (isUtf8(text))
        return std::string(text);
    std::string out;
    out.reserve(text.size() + 2);
    if (!decodeUtf8(text, true, [&](char32_t code) { appendUtf8(out, code); }))
        return std::nullopt;
    return out;
}

std::optional<std::u16string> macUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    const bool read = decodeUtf8(text, true, [&](char32_t code) {
        if (code < 0x10000) {
            out += char16_t(code);
        } else {
            out += char16_t(0xD800 + ((code - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
    });
    if (!read)
        return std::nullopt;
    return out;
}

std::string utf16AsUtf8(std::u16string_view units)
{
    std::string out;
    out.reserve(units.size());
    for (std::size_t at = 0; at < units.size(); ++at) {
        const char32_t unit = units[at];
        if (isHighSurrogate(unit) && at + 1 < units.size() && isLowSurrogate(units[at + 1])) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[at + 1] - 0xDC00));
            ++at;
        } else {
            appendUtf8(out, isSurrogate(unit) ? char32_t(0xFFFD) : unit);
        }
    }
    return out;
}

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

} // namespace detail

Node decode(const char *data, std::size_t size)
{
    if (!data || size == 0 || size > maxFileSize)
        return Node();
    const std::string_view raw(data, size);
    if (detail::startsWith(raw, "bplist00"))
        return detail::readBinary(raw);
    const std::optional<std::string> text = detail::textOf(raw);
    if (!text || text->empty())
        return Node();
    // As the Mac reads it: as XML, which needs neither a declaration nor a <plist> around its
    // value, and failing that as the old text form, where "<...>" is data.
    if (Node xml = detail::readXml(*text))
        return xml;
    return detail::readText(*text);
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