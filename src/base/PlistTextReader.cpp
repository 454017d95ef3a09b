#include "base/PlistDecoderParts.h"

#include <optional>
#include <string>
#include <string_view>

namespace PlistDecoder::detail {
namespace {

// The characters of the NeXTSTEP encoding from 0x80 on, as the Mac's reader maps an octal
// escape of a quoted string. 0xFE and 0xFF stand for nothing; the Mac then reads U+0000,
// which reads as U+FFFD here as every NUL does.
constexpr char16_t nextStepCharacters[128] = {
    0x00A0, 0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C7, 0x00C8, 0x00C9, 0x00CA, 0x00CB,
    0x00CC, 0x00CD, 0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D9,
    0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00B5, 0x00D7, 0x00F7, 0x00A9, 0x00A1, 0x00A2, 0x00A3,
    0x2044, 0x00A5, 0x0192, 0x00A7, 0x00A4, 0x2019, 0x201C, 0x00AB, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x00AE, 0x2013, 0x2020, 0x2021, 0x00B7, 0x00A6, 0x00B6, 0x2022, 0x201A, 0x201E, 0x201D, 0x00BB,
    0x2026, 0x2030, 0x00AC, 0x00BF, 0x00B9, 0x02CB, 0x00B4, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9,
    0x00A8, 0x00B2, 0x02DA, 0x00B8, 0x00B3, 0x02DD, 0x02DB, 0x02C7, 0x2014, 0x00B1, 0x00BC, 0x00BD,
    0x00BE, 0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E7, 0x00E8, 0x00E9, 0x00EA, 0x00EB,
    0x00EC, 0x00C6, 0x00ED, 0x00AA, 0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x0141, 0x00D8, 0x0152, 0x00BA,
    0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00E6, 0x00F9, 0x00FA, 0x00FB, 0x0131, 0x00FC, 0x00FD,
    0x0142, 0x00F8, 0x0153, 0x00DF, 0x00FE, 0x00FF, 0xFFFD, 0xFFFD,
};
static_assert(nextStepCharacters[0xA9 - 0x80] == 0x2019 && nextStepCharacters[0x7F] == 0xFFFD);

// Dictionaries { key = value; alone; }, arrays ( a, b ), quoted and bare strings, <hex data>,
// and comments. Every value is a string, as the form has no other scalars. Read as the Mac
// reads it: as UTF-16 units, from which each key and string is made.
class TextParser
{
public:
    explicit TextParser(std::u16string_view text)
        : m_text(text)
    {}

    Node parse()
    {
        if (!skipSpace() || atEnd())
            return Node();
        const bool startsString = isStringStart(peek());
        if (!value(0) || !skipSpace())
            return Node();
        if (atEnd())
            return m_writer.tree();
        if (!startsString)
            return Node();
        // A string with more after it begins the entries of a dictionary without its braces,
        // as a strings file has them: the Mac reads them from the start up to where no key
        // begins, and not what follows.
        m_writer = TreeWriter();
        m_at = 0;
        m_values = 0;
        m_writer.open(true);
        if (!entries(0) || !m_writer.close())
            return Node();
        return m_writer.tree();
    }

private:
    bool atEnd() const { return m_at >= m_text.size(); }
    char16_t peek() const { return m_text[m_at]; }
    bool follows(std::u16string_view word) const
    {
        return m_text.substr(m_at, word.size()) == word;
    }

    static bool isSpace(char16_t c)
    {
        return (c >= 0x09 && c <= 0x0D) || c == ' ' || c == 0x2028 || c == 0x2029;
    }

    // Skips white space and comments; false on a comment that never ends. A line comment ends
    // at any line or paragraph break.
    bool skipSpace()
    {
        while (!atEnd()) {
            if (isSpace(peek())) {
                ++m_at;
            } else if (follows(u"//")) {
                const std::size_t end = m_text.find_first_of(u"\n\r\u2028\u2029", m_at);
                m_at = end == std::u16string_view::npos ? m_text.size() : end;
            } else if (follows(u"/*")) {
                const std::size_t end = m_text.find(u"*/", m_at + 2);
                if (end == std::u16string_view::npos)
                    return false;
                m_at = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    static bool isBareCharacter(char16_t c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '$' || c == '/' || c == ':' || c == '.' || c == '-' || c == '+';
    }

    static bool isStringStart(char16_t c) { return c == '"' || c == '\'' || isBareCharacter(c); }

    bool value(int depth)
    {
        if (depth >= maxDepth || ++m_values > maxValues || !skipSpace() || atEnd())
            return false;
        const char16_t c = peek();
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
        const char16_t c = peek();
        if (c == '"' || c == '\'')
            return quoted(c);
        const std::size_t start = m_at;
        while (!atEnd() && isBareCharacter(peek()))
            ++m_at;
        if (m_at == start)
            return std::nullopt;
        return utf16AsUtf8(m_text.substr(start, m_at - start));
    }

    static int hexValue(char16_t c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    std::optional<std::string> quoted(char16_t quote)
    {
        ++m_at;
        std::u16string out;
        while (!atEnd()) {
            const char16_t c = m_text[m_at++];
            if (c == quote)
                return utf16AsUtf8(out);
            if (c != '\\') {
                out += c;
                continue;
            }
            if (atEnd())
                return std::nullopt;
            out += escaped(m_text[m_at++]);
        }
        return std::nullopt;
    }

    // The unit a backslash and `c` stand for, and what follows `c` of it. \U takes up to four
    // hex digits and gives a UTF-16 unit, so that two make a pair and one half alone reads as
    // U+FFFD; there is no \u. An octal escape is a byte of the NeXTSTEP encoding: up to three
    // digits, of which the Mac keeps the low eight bits.
    char16_t escaped(char16_t c)
    {
        switch (c) {
        case 'a':
            return '\a';
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        case 'v':
            return '\v';
        case 'U': {
            char16_t unit = 0;
            for (int digits = 0; digits < 4 && !atEnd() && hexValue(peek()) >= 0; ++digits)
                unit = char16_t(unit << 4 | hexValue(m_text[m_at++]));
            return unit;
        }
        default:
            break;
        }
        if (c < '0' || c > '7')
            return c;
        unsigned byte = c - '0';
        for (int digits = 1; digits < 3 && !atEnd() && peek() >= '0' && peek() <= '7'; ++digits)
            byte = (byte << 3 | unsigned(m_text[m_at++] - '0')) & 0xFF;
        return byte < 0x80 ? char16_t(byte) : nextStepCharacters[byte - 0x80];
    }

    bool data()
    {
        ++m_at;
        std::string bytes;
        int high = -1;
        while (!atEnd()) {
            const char16_t c = m_text[m_at++];
            if (c == '>')
                return high < 0 && m_writer.data(bytes);
            if (c < 0x80 && detail::isSpace(char(c)))
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
        if (!entries(depth) || atEnd() || peek() != '}')
            return false;
        ++m_at;
        return m_writer.close();
    }

    // Entries up to where no key begins, each ended by a semicolon, the last one's too. A key
    // with a semicolon and no value is its own value, in every dictionary, braced or not.
    bool entries(int depth)
    {
        for (;;) {
            if (!skipSpace())
                return false;
            if (atEnd() || !isStringStart(peek()))
                return true;
            const std::optional<std::string> key = string();
            if (!key || ++m_values > maxValues || !skipSpace() || atEnd())
                return false;
            m_writer.key(*key);
            if (peek() == '=') {
                ++m_at;
                if (!value(depth))
                    return false;
            } else if (peek() != ';' || ++m_values > maxValues || !m_writer.string(*key)) {
                return false;
            }
            if (!skipSpace() || atEnd() || peek() != ';')
                return false;
            ++m_at;
        }
    }

    std::u16string_view m_text;
    std::size_t m_at = 0;
    std::size_t m_values = 0;
    TreeWriter m_writer;
};

} // namespace

Node readText(std::string_view text)
{
    // The Mac reads the old text form as a whole, decoded as its UTF-8 decoder decodes.
    const std::optional<std::u16string> units = macUtf16(text);
    if (!units)
        return Node();
    return TextParser(*units).parse();
}

} // namespace PlistDecoder::detail
