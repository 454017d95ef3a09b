#include "base/PlistDecoderParts.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace PlistDecoder::detail {
namespace {

// What the Mac's property-list reader makes of the encoding an XML declaration names.
enum class Declared {
    // No name, or any name of UTF-8: each key and string decoded on its own. The Mac's reader
    // goes by the encoding a name stands for, and reads every name of UTF-8 as "utf-8".
    utf8,
    // ISO-8859-1, and US-ASCII, which the Mac reads the same way: each byte the character of
    // its number.
    latin1,
    windows1252,
    // Mac Roman: the Mac's reader takes its number, 0, for a failure and refuses the file, and
    // it refuses a declaration cut short by the end of the data too.
    refused,
    // Any other name: an encoding the Mac converts otherwise than these, or one it does not
    // know, which it refuses. Plain ASCII reads alike in the encodings Info.plists are written
    // in, so such a file is read when it holds ASCII alone and refused otherwise, so that no
    // byte past ASCII is read otherwise than on the Mac.
    asciiAlone,
};

char lowered(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool startsWithFolded(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lowered(text[i]) != prefix[i])
            return false;
    }
    return true;
}

bool equalFolded(std::string_view text, std::string_view word)
{
    return text.size() == word.size() && startsWithFolded(text, word);
}

// The number at the start of `text` as C's strtol reads it, as the Mac reads the number of a
// code page or of a part of ISO 8859, wrapped to the unsigned width it then keeps.
std::uint32_t cNumber(std::string_view text)
{
    const std::string terminated(text);
    return std::uint32_t(std::strtol(terminated.c_str(), nullptr, 10));
}

// What a code page of the Mac's own table names, of these encodings; nothing for the others.
std::optional<Declared> ofCodePage(std::uint16_t codePage)
{
    switch (codePage) {
    case 1252:
        return Declared::windows1252;
    case 28591:
    case 20127:
        return Declared::latin1;
    case 65001:
        return Declared::utf8;
    case 10000:
        return Declared::refused;
    default:
        return std::nullopt;
    }
}

// A charset name as ICU compares them: letters lowered, nothing but letters and digits, and no
// zero that leads a number.
std::string charsetKey(std::string_view name)
{
    std::string key;
    bool afterDigit = false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool digit = c >= '0' && c <= '9';
        if (c == '0' && !afterDigit && i + 1 < name.size() && name[i + 1] >= '0' &&
            name[i + 1] <= '9')
            continue;
        if (digit) {
            afterDigit = afterDigit || c != '0';
            key += c;
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            afterDigit = false;
            key += lowered(c);
        } else {
            afterDigit = false;
        }
    }
    return key;
}

// The names that ICU 72 gives the converters of these encodings (US-ASCII's among those of
// ISO-8859-1, which the Mac reads alike), where the Mac looks up a name that its own rules do
// not know; separated by spaces.
constexpr std::string_view latin1Aliases = "ISO-8859-1 ibm-819 cp819 latin1 8859_1 csISOLatin1 "
                                           "iso-ir-100 ISO_8859-1:1987 l1 819 "
                                           "US-ASCII ASCII ANSI_X3.4-1968 ANSI_X3.4-1986 "
                                           "ISO_646.irv:1991 iso_646.irv:1983 ISO646-US us "
                                           "csASCII iso-ir-6 cp367 ascii7 646 windows-20127 "
                                           "ibm-367";
constexpr std::string_view windows1252Aliases = "ibm-5348_P100-1997 ibm-5348 windows-1252 cp1252";
constexpr std::string_view utf8Aliases = "UTF-8 ibm-1208 ibm-1209 ibm-5304 ibm-5305 ibm-13496 "
                                         "ibm-13497 ibm-17592 ibm-17593 windows-65001 cp1208 "
                                         "x-UTF_8J unicode-1-1-utf-8 unicode-2-0-utf-8";
constexpr std::string_view macRomanAliases = "macos-0_2-10.2 macintosh mac csMacintosh "
                                             "windows-10000 macroman x-macroman";

std::optional<Declared> ofIcuName(std::string_view name)
{
    // ICU takes no name of 60 characters or more.
    if (name.size() >= 60)
        return std::nullopt;
    const std::string key = charsetKey(name);
    const auto among = [&](std::string_view aliases) {
        for (std::size_t at = 0; at < aliases.size();) {
            const std::size_t end = std::min(aliases.find(' ', at), aliases.size());
            if (charsetKey(aliases.substr(at, end - at)) == key)
                return true;
            at = end + 1;
        }
        return false;
    };
    if (among(latin1Aliases))
        return Declared::latin1;
    if (among(windows1252Aliases))
        return Declared::windows1252;
    if (among(utf8Aliases))
        return Declared::utf8;
    if (among(macRomanAliases))
        return Declared::refused;
    return std::nullopt;
}

// The encoding of `name` as CFStringConvertIANACharSetNameToEncoding finds it: its own rules
// first (a part of ISO 8859 or a code page by the number after "iso-8859-", "cp" or
// "windows-", a name beginning with "macintosh", a few names of its own after an optional
// "x-mac-"), then ICU's names. Every comparison ignores case; the name ends at a NUL.
Declared encodingNamed(std::string_view name)
{
    name = name.substr(0, name.find('\0'));
    if (name.size() == 5 && equalFolded(name, "utf-8"))
        return Declared::utf8;
    for (const char c : name) {
        if (std::uint8_t(c) >= 0x80)
            return Declared::asciiAlone;
    }
    if (startsWithFolded(name, "iso-8859-")) {
        const std::uint32_t part = cNumber(name.substr(9));
        if (part == 1)
            return Declared::latin1;
        if (part >= 2 && part <= 16)
            return Declared::asciiAlone;
    }
    for (const std::string_view prefix : {"cp", "windows-"}) {
        if (!startsWithFolded(name, prefix))
            continue;
        if (const std::optional<Declared> declared =
                ofCodePage(std::uint16_t(cNumber(name.substr(prefix.size())))))
            return *declared;
    }
    if (startsWithFolded(name, "macintosh"))
        return Declared::refused;
    const std::string_view own = startsWithFolded(name, "x-mac-") ? name.substr(6) : name;
    if (equalFolded(own, "utf-8"))
        return Declared::utf8;
    if (equalFolded(own, "us-ascii"))
        return Declared::latin1;
    return ofIcuName(name).value_or(Declared::asciiAlone);
}

// The encoding an XML declaration at the very start of the data names, found as the Mac's
// reader finds it: "encoding=" anywhere before the first '?' or '>', then the name in the
// quotes that follow at once.
Declared declaredEncoding(std::string_view data)
{
    std::size_t at = 5; // past "<?xml"
    for (;;) {
        if (at >= data.size())
            return Declared::utf8;
        const char c = data[at++];
        if (c == '?' || c == '>')
            return Declared::utf8;
        if (at + 8 >= data.size())
            return Declared::refused;
        if (c == 'e' && data.substr(at, 8) == "ncoding=") {
            at += 8;
            break;
        }
    }
    const char quote = data[at];
    if (quote != '"' && quote != '\'')
        return Declared::utf8;
    const std::size_t end = data.find(quote, at + 1);
    if (end == std::string_view::npos)
        return Declared::utf8;
    return encodingNamed(data.substr(at + 1, end - at - 1));
}

// Windows-1252 from 0x80 to 0x9F, which ISO-8859-1 leaves to control characters; 0 where it
// defines nothing, which makes the Mac refuse the file.
constexpr char16_t windows1252Characters[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

std::optional<std::string> fromSingleBytes(std::string_view data, bool windows1252)
{
    std::string out;
    out.reserve(data.size() + data.size() / 2);
    for (const char c : data) {
        const auto byte = std::uint8_t(c);
        char32_t code = byte;
        if (windows1252 && byte >= 0x80 && byte <= 0x9F) {
            code = windows1252Characters[byte - 0x80];
            if (code == 0)
                return std::nullopt;
        }
        appendUtf8(out, code);
    }
    return out;
}

} // namespace

std::optional<std::string> textOf(std::string_view data)
{
    // A declaration counts only at the very start: after a byte-order mark, white space or
    // anything else, the text is read as it is.
    if (!startsWith(data, "<?xml"))
        return asUtf8(data);
    switch (declaredEncoding(data)) {
    case Declared::utf8:
        return asUtf8(data);
    case Declared::latin1:
        return fromSingleBytes(data, false);
    case Declared::windows1252:
        return fromSingleBytes(data, true);
    case Declared::asciiAlone:
        for (const char c : data) {
            if (std::uint8_t(c) >= 0x80)
                return std::nullopt;
        }
        return asUtf8(data);
    case Declared::refused:
        break;
    }
    return std::nullopt;
}

} // namespace PlistDecoder::detail
