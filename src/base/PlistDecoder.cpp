#include "base/PlistDecoder.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <optional>
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
// is fit to hand to libplist: every reference and every string inside the file, no cycle,
// and what libplist would build from it within bounds. libplist builds a fresh copy of an
// object at each reference to it, so the bounds apply to the tree after that expansion: a
// few hundred bytes of arrays that each refer twice to the next would otherwise expand to
// billions of values. Each object is read once; its expanded figures are kept.
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
        return walk(top);
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
        std::size_t referencesAt = 0; // where the references of a container start
        std::uint64_t references = 0; // keys and values of a dictionary
        std::uint64_t bytes = 0;      // of a string or data
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
        if (text) {
            // libplist keeps data as it is, a string with a terminator, and UTF-16 as UTF-8
            // of up to three bytes a unit.
            const std::uint64_t unitSize = kind == 0x6 ? 2 : 1;
            if (length > room / unitSize)
                return std::nullopt;
            result.bytes = kind == 0x4 ? length : kind == 0x5 ? length + 1 : 3 * length + 1;
            return result;
        }
        const std::uint64_t references = kind == 0xD ? length * 2 : length;
        if (length > room || references > room / m_refSize)
            return std::nullopt;
        result.referencesAt = at;
        result.references = references;
        return result;
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

    std::string_view m_data;
    std::size_t m_offsetSize = 0;
    std::size_t m_refSize = 0;
    std::uint64_t m_table = 0;
    std::uint64_t m_count = 0;
    std::vector<std::uint8_t> m_state;
    std::vector<Expanded> m_expanded;
};

// --- XML ------------------------------------------------------------------------------------

// Reads an XML property list as libplist's parser reads it and writes out its first value
// in the plainest form that parser takes: elements without attributes, text without markup
// (CDATA escaped, comments dropped), no declaration, document type or processing
// instruction. libplist is then given only text that has been measured by this reading, so
// nothing hidden in a comment, a CDATA section or a quoted attribute can nest deeper or
// hold more than was counted. Nothing for what is malformed, nests deeper than maxDepth or
// holds more than maxValues values. Never recurses.
class XmlReader
{
public:
    explicit XmlReader(std::string_view text)
        : m_text(text)
    {}

    std::optional<std::string> plainText()
    {
        m_out.reserve(m_text.size());
        for (;;) {
            while (!atEnd() && isXmlSpace(peek()))
                ++m_at;
            if (atEnd() || peek() != '<' || ++m_at == m_text.size())
                return std::nullopt;
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
                return std::nullopt;
            if (m_rootDone)
                return std::move(m_out);
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
        m_out += open == Open::dict ? "</dict>" : "</array>";
        valueDone();
        return true;
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
            if (empty) {
                m_out += dict ? "<dict/>" : "<array/>";
                valueDone();
                return true;
            }
            if (++m_depth > maxDepth)
                return false;
            m_open.push_back(dict ? Open::dict : Open::array);
            m_out += dict ? "<dict>" : "<array>";
            return true;
        }
        if (name == "true" || name == "false") {
            if (!empty && !text(name, nullptr, false))
                return false;
            m_out += '<';
            m_out += name;
            m_out += "/>";
            valueDone();
            return true;
        }
        if (name != "key" && name != "string" && name != "integer" && name != "real" &&
            name != "date" && name != "data")
            return false;
        m_out += '<';
        m_out += name;
        if (empty) {
            m_out += "/>";
        } else {
            m_out += '>';
            if (!text(name, &m_out, name == "key" || name == "string"))
                return false;
            m_out += "</";
            m_out += name;
            m_out += '>';
        }
        valueDone();
        return true;
    }

    // The text of a leaf element up to its end tag, into `out` when given: plain text as it
    // is, comments dropped, CDATA as libplist takes it: as plain text in keys and strings,
    // whose entities it resolves (so escaped), and as it is elsewhere (so without '<').
    bool text(std::string_view name, std::string *out, bool resolvesEntities)
    {
        for (;;) {
            const std::size_t lt = m_text.find('<', m_at);
            if (lt == std::string_view::npos)
                return false;
            if (out)
                out->append(m_text.substr(m_at, lt - m_at));
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
                const std::string_view cdata = m_text.substr(start, end - start);
                if (resolvesEntities && out)
                    appendEscaped(*out, cdata);
                else if (cdata.find('<') != std::string_view::npos)
                    return false;
                else if (out)
                    out->append(cdata);
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

    static void appendEscaped(std::string &out, std::string_view raw)
    {
        for (const char c : raw) {
            if (c == '&')
                out += "&amp;";
            else if (c == '<')
                out += "&lt;";
            else if (c == '>')
                out += "&gt;";
            else
                out += c;
        }
    }

    // The first value is all libplist reads; what follows it is never handed over.
    void valueDone() { m_rootDone = m_depth == 0; }

    std::string_view m_text;
    std::size_t m_at = 0;
    std::string m_out;
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
        if (depth >= maxDepth || ++m_values > maxValues || !skipSpace() || atEnd())
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
            if (!key || ++m_values > maxValues || !skipSpace() || atEnd() || peek() != '=')
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
    std::size_t m_values = 0;
};

} // namespace

Node decode(const char *data, std::size_t size)
{
    if (!data || size == 0 || size > maxFileSize)
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
        const std::optional<std::string> plain = XmlReader(*text).plainText();
        if (!plain)
            return Node();
        plist_t root = nullptr;
        plist_from_xml(plain->data(), std::uint32_t(plain->size()), &root);
        return Node(root);
    }
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
