#include "der_writer.h"

#include <algorithm>

namespace der {

bytes tlv(uint8_t tag, const bytes& content) {
    bytes out{tag};
    const size_t size = content.size();
    if (size < 0x80) {
        out.push_back(static_cast<uint8_t>(size));
    } else {
        uint8_t length[sizeof size];
        unsigned count = 0;
        for (size_t rest = size; rest; rest >>= 8)
            length[count++] = static_cast<uint8_t>(rest);
        out.push_back(static_cast<uint8_t>(0x80 | count));
        while (count)
            out.push_back(length[--count]);
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

bytes sequence(std::initializer_list<bytes> items) {
    bytes content;
    for (const bytes& item : items)
        content.insert(content.end(), item.begin(), item.end());
    return tlv(kSequence, content);
}

bytes set_of(std::vector<bytes> elements) {
    // std::vector's < compares byte by byte, and a prefix before what it starts.
    std::sort(elements.begin(), elements.end());
    bytes content;
    for (const bytes& element : elements)
        content.insert(content.end(), element.begin(), element.end());
    return tlv(kSet, content);
}

std::optional<bytes> object_identifier(std::string_view dotted) {
    std::vector<uint32_t> arcs;
    size_t at = 0;
    for (;;) {
        size_t end = dotted.find('.', at);
        std::string_view arc = dotted.substr(at, end == std::string_view::npos ? end : end - at);
        if (arc.empty() || arc.size() > 9)
            return std::nullopt;
        uint32_t value = 0;
        for (char c : arc) {
            if (c < '0' || c > '9')
                return std::nullopt;
            value = value * 10 + static_cast<uint32_t>(c - '0');
        }
        arcs.push_back(value);
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39))
        return std::nullopt;

    bytes content;
    auto base128 = [&content](uint64_t value) {
        uint8_t groups[10];
        unsigned count = 0;
        do {
            groups[count++] = static_cast<uint8_t>(value & 0x7F);
            value >>= 7;
        } while (value);
        while (count > 1)
            content.push_back(static_cast<uint8_t>(0x80 | groups[--count]));
        content.push_back(groups[0]);
    };
    base128(uint64_t{arcs[0]} * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); i++)
        base128(arcs[i]);
    return tlv(kObjectIdentifier, content);
}

bytes integer(uint32_t value) {
    bytes content;
    for (int shift = 24; shift >= 0; shift -= 8) {
        uint8_t byte = static_cast<uint8_t>(value >> shift);
        if (content.empty() && byte == 0 && shift > 0)
            continue;
        // A leading byte with its top bit set would read as negative.
        if (content.empty() && (byte & 0x80))
            content.push_back(0);
        content.push_back(byte);
    }
    return tlv(kInteger, content);
}

bytes octet_string(const uint8_t* data, size_t size) {
    return tlv(kOctetString, size ? bytes(data, data + size) : bytes());
}

bytes bit_string(const uint8_t* data, size_t size, unsigned unused_bits) {
    bytes content{static_cast<uint8_t>(unused_bits)};
    if (size)
        content.insert(content.end(), data, data + size);
    return tlv(kBitString, content);
}

bytes bmp_string(std::u16string_view text) {
    bytes content;
    for (char16_t unit : text) {
        content.push_back(static_cast<uint8_t>(unit >> 8));
        content.push_back(static_cast<uint8_t>(unit));
    }
    return tlv(kBmpString, content);
}

bytes ia5_string(std::string_view text) {
    return tlv(kIa5String, bytes(text.begin(), text.end()));
}

bytes null() {
    return tlv(kNull, {});
}

}  // namespace der
