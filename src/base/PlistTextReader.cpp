#include "base/PlistDecoderParts.h"

#include <optional>
#include <string>
#include <string_view>

namespace PlistDecoder::detail {
namespace {

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

Node readText(std::string_view text)
{
    // The Mac reads the old text form as a whole, decoded as its UTF-8 decoder decodes.
    const std::optional<std::string> utf8 = macUtf8(text);
    if (!utf8)
        return Node();
    return TextParser(*utf8).parse();
}

} // namespace PlistDecoder::detail
