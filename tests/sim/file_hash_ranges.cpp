#include "file_hash_ranges.h"

namespace sim {
namespace {

// Offsets of the PE format, as Microsoft documents it.
constexpr size_t kNewHeaderOffset = 0x3C;             // e_lfanew in the DOS header
constexpr size_t kOptionalHeaderSizeOffset = 4 + 16;  // in the file header, after "PE\0\0"
constexpr size_t kOptionalHeaderOffset = 4 + 20;
constexpr size_t kChecksumOffset = 64;  // in the optional header, both formats
constexpr uint16_t kPe32 = 0x10B;
constexpr uint16_t kPe32Plus = 0x20B;
constexpr size_t kSecurityDirectory = 4;  // index of the certificate table's entry
constexpr size_t kDirectoryEntrySize = 8;

struct reader {
    const uint8_t* data;
    size_t size;

    bool has(size_t at, size_t count) const { return at <= size && count <= size - at; }
    uint16_t u16(size_t at) const { return static_cast<uint16_t>(data[at] | data[at + 1] << 8); }
    uint32_t u32(size_t at) const {
        return static_cast<uint32_t>(data[at]) | static_cast<uint32_t>(data[at + 1]) << 8 |
               static_cast<uint32_t>(data[at + 2]) << 16 |
               static_cast<uint32_t>(data[at + 3]) << 24;
    }
};

file_hash_ranges whole(size_t size) {
    file_hash_ranges result;
    if (size)
        result.ranges.push_back({0, size});
    return result;
}

}  // namespace

file_hash_ranges hash_ranges_of(const uint8_t* data, size_t size) {
    const reader file{data, size};
    if (!file.has(0, kNewHeaderOffset + 4) || data[0] != 'M' || data[1] != 'Z')
        return whole(size);
    const size_t pe = file.u32(kNewHeaderOffset);
    if (!file.has(pe, kOptionalHeaderOffset + 2) || file.u32(pe) != 0x00004550)  // "PE\0\0"
        return whole(size);
    const size_t optional = pe + kOptionalHeaderOffset;
    const size_t optional_size = file.u16(pe + kOptionalHeaderSizeOffset);
    const uint16_t magic = file.u16(optional);
    if (magic != kPe32 && magic != kPe32Plus)
        return whole(size);
    const size_t count_offset = magic == kPe32 ? 92 : 108;
    const size_t directories = count_offset + 4;
    const size_t security = directories + kSecurityDirectory * kDirectoryEntrySize;
    if (optional_size < security + kDirectoryEntrySize ||
        !file.has(optional, security + kDirectoryEntrySize) ||
        file.u32(optional + count_offset) <= kSecurityDirectory) {
        return whole(size);
    }

    const size_t checksum_at = optional + kChecksumOffset;
    const size_t entry_at = optional + security;
    // The certificate table's entry holds a file offset, not an address in memory.
    const size_t table_at = file.u32(entry_at);
    const size_t table_size = file.u32(entry_at + 4);
    size_t table_end = size;
    size_t rest_end = size;
    if (table_size) {
        if (table_at < entry_at + kDirectoryEntrySize || !file.has(table_at, table_size))
            return whole(size);
        rest_end = table_at;
        table_end = table_at + table_size;
    }

    file_hash_ranges result;
    result.pe_image = true;
    auto add = [&result](size_t begin, size_t end) {
        if (begin < end)
            result.ranges.push_back({begin, end});
    };
    add(0, checksum_at);
    add(checksum_at + 4, entry_at);
    add(entry_at + kDirectoryEntrySize, rest_end);
    add(table_end, size);
    return result;
}

}  // namespace sim
