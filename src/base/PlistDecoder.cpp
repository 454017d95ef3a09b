#include "base/PlistDecoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace PlistDecoder {
namespace {

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

void appendUtf8(std::string &out, char32_t code)
{
    if (code < 0x80) {
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

// The text with its byte-order mark read and dropped: UTF-8 as it is, UTF-16 converted.
std::optional<std::string> asUtf8(std::string_view data)
{
    if (startsWith(data, "\xEF\xBB\xBF"))
        return std::string(data.substr(3));
    if (startsWith(data, "\xFF\xFE"))
        return utf16ToUtf8(data.substr(2), false);
    if (startsWith(data, "\xFE\xFF"))
        return utf16ToUtf8(data.substr(2), true);
    return std::string(data);
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// --- binary -------------------------------------------------------------------------------

// Walks the object graph of a binary property list from its top object and says whether it
// is well formed enough to hand to libplist: every reference inside the file, no cycle, and
// no path deeper than maxDepth. Each object is visited once.
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
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8 || count == 0 ||
            top >= count || m_table > trailer || count > (trailer - m_table) / m_offsetSize)
            return false;
        m_count = count;
        m_state.assign(count, unseen);
        m_depth.assign(count, 0);
        return walk(top);
    }

private:
    enum State : std::uint8_t { unseen, open, closed };
    struct Frame
    {
        std::uint64_t object;
        std::vector<std::uint64_t> children;
        std::size_t next = 0;
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

    // The references an array, set or dictionary holds; empty for other objects; nothing
    // when they run past the object area.
    std::optional<std::vector<std::uint64_t>> childrenOf(std::uint64_t object) const
    {
        const std::optional<std::size_t> offset = offsetOf(object);
        if (!offset)
            return std::nullopt;
        const auto marker = std::uint8_t(m_data[*offset]);
        const unsigned kind = marker >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD)
            return std::vector<std::uint64_t>();
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
        const std::uint64_t references = kind == 0xD ? length * 2 : length;
        if (length > m_table || references > (m_table - at) / m_refSize)
            return std::nullopt;
        std::vector<std::uint64_t> children;
        children.reserve(std::size_t(references));
        for (std::uint64_t i = 0; i < references; ++i) {
            const std::uint64_t child = number(at + std::size_t(i) * m_refSize, m_refSize);
            if (child >= m_count)
                return std::nullopt;
            children.push_back(child);
        }
        return children;
    }

    bool walk(std::uint64_t top)
    {
        std::vector<Frame> stack;
        const auto enter = [&](std::uint64_t object) {
            std::optional<std::vector<std::uint64_t>> children = childrenOf(object);
            if (!children || stack.size() >= std::size_t(maxDepth))
                return false;
            m_state[object] = open;
            stack.push_back({object, std::move(*children)});
            return true;
        };
        if (!enter(top))
            return false;
        while (!stack.empty()) {
            Frame &frame = stack.back();
            if (frame.next == frame.children.size()) {
                m_state[frame.object] = closed;
                const int depth = m_depth[frame.object] + 1;
                stack.pop_back();
                if (!stack.empty() && depth > m_depth[stack.back().object])
                    m_depth[stack.back().object] = depth;
                continue;
            }
            const std::uint64_t child = frame.children[frame.next++];
            if (m_state[child] == open)
                return false;
            if (m_state[child] == closed) {
                if (m_depth[child] + 1 > maxDepth)
                    return false;
                if (m_depth[child] + 1 > m_depth[frame.object])
                    m_depth[frame.object] = m_depth[child] + 1;
                continue;
            }
            if (!enter(child))
                return false;
        }
        return true;
    }

    std::string_view m_data;
    std::size_t m_offsetSize = 0;
    std::size_t m_refSize = 0;
    std::uint64_t m_table = 0;
    std::uint64_t m_count = 0;
    std::vector<std::uint8_t> m_state;
    std::vector<int> m_depth;
};

// --- XML ------------------------------------------------------------------------------------

// The deepest nesting of <array> and <dict> elements, comments and processing instructions
// skipped; stops counting once past maxDepth.
int xmlDepth(std::string_view text)
{
    int depth = 0;
    int deepest = 0;
    std::size_t at = 0;
    while ((at = text.find('<', at)) != std::string_view::npos) {
        const std::string_view rest = text.substr(at);
        if (startsWith(rest, "<!--")) {
            const std::size_t end = text.find("-->", at + 4);
            if (end == std::string_view::npos)
                break;
            at = end + 3;
            continue;
        }
        const std::size_t close = text.find('>', at);
        if (close == std::string_view::npos)
            break;
        const std::string_view tag = text.substr(at + 1, close - at - 1);
        const bool selfClosing = !tag.empty() && tag.back() == '/';
        const auto named = [&](std::string_view name) {
            return startsWith(tag, name) && (tag.size() == name.size() ||
                                             isSpace(tag[name.size()]) || tag[name.size()] == '/');
        };
        if ((named("array") || named("dict")) && !selfClosing) {
            deepest = std::max(deepest, ++depth);
            if (deepest > maxDepth)
                return deepest;
        } else if (named("/array") || named("/dict")) {
            --depth;
        }
        at = close + 1;
    }
    return deepest;
}

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
        Node root = value(0);
        if (!root || !skipSpace() || m_at != m_text.size())
            return Node();
        return root;
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

    Node value(int depth)
    {
        if (depth >= maxDepth || !skipSpace() || atEnd())
            return Node();
        const char c = peek();
        if (c == '{')
            return dictionary(depth + 1);
        if (c == '(')
            return array(depth + 1);
        if (c == '<')
            return data();
        std::optional<std::string> text = string();
        if (!text)
            return Node();
        return Node(plist_new_string(text->c_str()));
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

    Node data()
    {
        ++m_at;
        std::string bytes;
        int high = -1;
        while (!atEnd()) {
            const char c = m_text[m_at++];
            if (c == '>') {
                if (high >= 0)
                    return Node();
                return Node(plist_new_data(bytes.data(), bytes.size()));
            }
            if (isSpace(c))
                continue;
            const int nibble = hexValue(c);
            if (nibble < 0)
                return Node();
            if (high < 0) {
                high = nibble;
            } else {
                bytes += char(high << 4 | nibble);
                high = -1;
            }
        }
        return Node();
    }

    Node array(int depth)
    {
        ++m_at;
        Node list(plist_new_array());
        for (;;) {
            if (!skipSpace() || atEnd())
                return Node();
            if (peek() == ')') {
                ++m_at;
                return list;
            }
            Node item = value(depth);
            if (!item || !skipSpace() || atEnd())
                return Node();
            plist_array_append_item(static_cast<plist_t>(list.get()), item.release());
            if (peek() == ',')
                ++m_at;
            else if (peek() != ')')
                return Node();
        }
    }

    Node dictionary(int depth)
    {
        ++m_at;
        Node dict(plist_new_dict());
        for (;;) {
            if (!skipSpace() || atEnd())
                return Node();
            if (peek() == '}') {
                ++m_at;
                return dict;
            }
            const std::optional<std::string> key = string();
            if (!key || !skipSpace() || atEnd() || peek() != '=')
                return Node();
            ++m_at;
            Node item = value(depth);
            if (!item || !skipSpace() || atEnd())
                return Node();
            // A later entry of the same key wins, as in the other forms.
            plist_dict_set_item(static_cast<plist_t>(dict.get()), key->c_str(), item.release());
            if (peek() == ';')
                ++m_at;
            else if (peek() != '}')
                return Node();
        }
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

} // namespace

Node decode(const char *data, std::size_t size)
{
    if (!data || size == 0 || size > UINT32_MAX)
        return Node();
    const std::string_view raw(data, size);
    if (startsWith(raw, "bplist00")) {
        if (!BinaryShape(raw).acceptable())
            return Node();
        plist_t root = nullptr;
        plist_from_bin(data, std::uint32_t(size), &root);
        return Node(root);
    }
    const std::optional<std::string> text = asUtf8(raw);
    if (!text || text->empty())
        return Node();
    if (looksLikeXml(*text)) {
        if (xmlDepth(*text) > maxDepth)
            return Node();
        plist_t root = nullptr;
        plist_from_xml(text->data(), std::uint32_t(text->size()), &root);
        return Node(root);
    }
    return TextParser(*text).parse();
}

} // namespace PlistDecoder
