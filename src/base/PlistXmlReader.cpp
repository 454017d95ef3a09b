#include "base/PlistDecoderParts.h"

#include <cstdint>
#include <cstdlib>
#include <locale>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace PlistDecoder::detail {
namespace {

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
        // tags, which drops a leading U+FEFF and refuses what is not UTF-8 but a lone 0xA9;
        // so does this one.
        if (textual && startsWith(content, utf8ByteOrderMark))
            content.erase(0, utf8ByteOrderMark.size());
        if (textual) {
            std::optional<std::string> text = macUtf8(content);
            if (!text)
                return false;
            content = std::move(*text);
        }
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

} // namespace

Node readXml(std::string_view text)
{
    return XmlReader(text).read();
}

} // namespace PlistDecoder::detail
