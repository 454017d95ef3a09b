// A libFuzzer target over the property-list reader: whatever the input, decoding it and reading
// every value of the tree must neither abort nor misbehave. Not part of the build; see README.md.

#include "base/PlistDecoder.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <plist/plist.h>
#include <string>

namespace {

// Reads every value with the accessors that assert on what they read, so that a string or a
// key holding a NUL, which no tree from the decoder may hold, aborts the run.
void readAll(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        char *text = nullptr;
        plist_get_string_val(node, &text);
        std::free(text);
        break;
    }
    case PLIST_ARRAY:
        for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i)
            readAll(plist_array_get_item(node, i));
        break;
    case PLIST_DICT: {
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iter, &key, &value);
            if (!key)
                break;
            std::free(key);
            readAll(value);
        }
        std::free(iter);
        break;
    }
    default:
        break;
    }
}

// The first byte chooses how the rest is read. 0: as it is. 1: as a binary list (references and
// offsets one byte wide): a count of objects, the top one, a length of offsets, the offsets
// (repeated to the count), then the objects, which so lie anywhere, overlapping one another.
// 2: inside an XML dictionary. 3: inside an old-text one.
std::string shaped(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return {};
    const std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    switch (data[0] % 4) {
    case 1: {
        if (rest.size() < 4)
            return {};
        const std::size_t count = std::uint8_t(rest[0]) + 1;
        const std::size_t top = std::uint8_t(rest[1]) % count;
        const std::size_t offsets = std::uint8_t(rest[2]) % 32 + 1;
        if (rest.size() < 3 + offsets + 1)
            return {};
        const std::string objects = rest.substr(3 + offsets, 240);
        std::string list = "bplist00" + objects;
        const std::size_t table = list.size();
        for (std::size_t i = 0; i < count; ++i)
            list += char(8 + std::uint8_t(rest[3 + i % offsets]) % objects.size());
        list.append(6, '\0');
        list += '\x01';
        list += '\x01';
        for (const std::uint64_t value :
             {std::uint64_t(count), std::uint64_t(top), std::uint64_t(table)})
            for (int shift = 56; shift >= 0; shift -= 8)
                list += char(value >> shift & 0xFF);
        return list;
    }
    case 2:
        return "<plist><dict>" + rest + "</dict></plist>";
    case 3:
        return "{" + rest + "}";
    default:
        return rest;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input = shaped(data, size);
    const PlistDecoder::Node root = PlistDecoder::decode(input.data(), input.size());
    if (root)
        readAll(static_cast<plist_t>(root.get()));
    return 0;
}
