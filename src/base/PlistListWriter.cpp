#include "base/PlistCompat.h"
#include "base/PlistDecoderParts.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace PlistDecoder::detail {

bool TreeWriter::open(bool dictionary)
{
    if (awaitsKey())
        return false;
    m_open.push_back({dictionary});
    return true;
}

bool TreeWriter::string(std::string_view text)
{
    return attach(writeText(text));
}

bool TreeWriter::data(std::string_view bytes)
{
    const std::uint32_t object = start();
    appendMarker(m_out, 0x4, bytes.size());
    m_out += bytes;
    return attach(object);
}

bool TreeWriter::boolean(bool value)
{
    const std::uint32_t object = start();
    m_out += value ? '\x09' : '\x08';
    return attach(object);
}

bool TreeWriter::integer(std::uint64_t value)
{
    return number(0x1, value);
}

bool TreeWriter::real(double value)
{
    return number(0x2, bitsOf(value));
}

bool TreeWriter::date(double sinceReference)
{
    if (PlistCompat::holdsDate(sinceReference))
        return number(0x3, bitsOf(sinceReference));
    if (awaitsKey())
        return false;
    if (!m_open.empty() && m_open.back().dictionary)
        m_open.back().key.reset();
    return true;
}

bool TreeWriter::awaitsKey() const
{
    return !m_open.empty() && m_open.back().dictionary && !m_open.back().key;
}

void TreeWriter::key(std::string_view key)
{
    const std::uint32_t object = writeText(key);
    m_open.back().key = Entry{object, m_out.size() - key.size(), key.size(), 0};
}

bool TreeWriter::close()
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

Node TreeWriter::tree()
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
    return treeOf(m_out);
}

std::uint64_t TreeWriter::bitsOf(double value)
{
    std::uint64_t bits = 0;
    static_assert(sizeof bits == sizeof value);
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

std::uint32_t TreeWriter::start()
{
    m_offsets.push_back(m_out.size());
    return std::uint32_t(m_offsets.size() - 1);
}

std::uint32_t TreeWriter::writeText(std::string_view text)
{
    const std::uint32_t object = start();
    appendMarker(m_out, 0x5, text.size());
    m_out += text;
    return object;
}

bool TreeWriter::number(unsigned kind, std::uint64_t bits)
{
    const std::uint32_t object = start();
    m_out += char(kind << 4 | 0x3);
    appendNumber(m_out, bits, 8);
    return attach(object);
}

bool TreeWriter::attach(std::uint32_t object)
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

std::vector<TreeWriter::Entry> TreeWriter::distinct(std::vector<Entry> entries) const
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

} // namespace PlistDecoder::detail
