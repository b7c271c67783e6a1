// A small DER writer for the catalog service of the simulated machine: the structures that
// wintrust.dll encodes itself on Windows (its own types, which crypt32 hands to it), while
// crypt32 encodes the certificate trust list and the signed message around them. Portable, so
// that it is also built natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace der {

using bytes = std::vector<uint8_t>;

// Universal tags, and the context-specific ones of the [n] fields.
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kObjectIdentifier = 0x06;
constexpr uint8_t kIa5String = 0x16;
constexpr uint8_t kBmpString = 0x1E;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;
constexpr uint8_t context(unsigned number, bool constructed) {
    return static_cast<uint8_t>(0x80 | (constructed ? 0x20 : 0) | number);
}

// Tag, definite length, content.
bytes tlv(uint8_t tag, const bytes& content);
bytes sequence(std::initializer_list<bytes> items);
// A SET OF as DER orders it: the elements' encodings sorted as octet strings, a shorter one that
// is the start of a longer one first.
bytes set_of(std::vector<bytes> elements);
// A dotted identifier ("1.3.6.1.4.1.311.2.1.15"); nullopt when it is not one.
std::optional<bytes> object_identifier(std::string_view dotted);
// A non-negative integer in the fewest bytes.
bytes integer(uint32_t value);
bytes octet_string(const uint8_t* data, size_t size);
bytes bit_string(const uint8_t* data, size_t size, unsigned unused_bits);
// UTF-16 code units, written big-endian.
bytes bmp_string(std::u16string_view text);
bytes ia5_string(std::string_view text);
bytes null();

}  // namespace der
