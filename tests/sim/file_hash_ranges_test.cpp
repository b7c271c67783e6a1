// The bytes of a file that the simulated catalog service hashes: a PE image without its checksum
// and certificate table, anything else whole, and no read outside the file whatever its headers
// say.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "file_hash_ranges.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr size_t kPe = 0x40;            // where the images below put "PE\0\0"
constexpr size_t kOptional = kPe + 24;  // their optional header
constexpr size_t kChecksum = kOptional + 64;

void put32(bytes& data, size_t at, uint32_t value) {
    ASSERT_LE(at + 4, data.size());
    for (int i = 0; i < 4; i++)
        data[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The offset of the certificate table's directory entry of a PE32 (or PE32+) image.
size_t security_entry(bool plus) {
    return kOptional + (plus ? 112 : 96) + 4 * 8;
}

// A PE image of size bytes with a certificate table of table_size bytes at table_at (none when
// table_size is 0).
bytes image(bool plus, size_t size, uint32_t table_at = 0, uint32_t table_size = 0) {
    bytes data(size, 0xCC);
    data[0] = 'M';
    data[1] = 'Z';
    put32(data, 0x3C, kPe);
    memcpy(&data[kPe], "PE\0\0", 4);
    const size_t optional_size = plus ? 240 : 224;
    data[kPe + 20] = static_cast<uint8_t>(optional_size);
    data[kPe + 21] = 0;
    data[kOptional] = 0x0B;
    data[kOptional + 1] = plus ? 0x02 : 0x01;
    put32(data, kOptional + (plus ? 108 : 92), 16);  // NumberOfRvaAndSizes
    put32(data, security_entry(plus), table_at);
    put32(data, security_entry(plus) + 4, table_size);
    return data;
}

std::string text_of(const sim::file_hash_ranges& hashed) {
    std::string text = hashed.pe_image ? "pe" : "flat";
    for (const sim::byte_range& range : hashed.ranges)
        text += " " + std::to_string(range.begin) + "-" + std::to_string(range.end);
    return text;
}

std::string ranges_of(const bytes& data) {
    return text_of(sim::hash_ranges_of(data.data(), data.size()));
}

std::string pe_ranges(bool plus, size_t end, const std::string& rest = "") {
    const size_t entry = security_entry(plus);
    return "pe 0-" + std::to_string(kChecksum) + " " + std::to_string(kChecksum + 4) + "-" +
           std::to_string(entry) + " " + std::to_string(entry + 8) + "-" + std::to_string(end) +
           rest;
}

TEST(FileHashRanges, APeImageLeavesOutItsChecksumAndCertificateTable) {
    const struct {
        const char* what;
        bytes data;
        std::string ranges;
    } cases[] = {
        {"PE32 without a table", image(false, 1024), pe_ranges(false, 1024)},
        {"PE32+ without a table", image(true, 1024), pe_ranges(true, 1024)},
        {"table at the end", image(true, 1024, 1000, 24), pe_ranges(true, 1000)},
        {"data after the table", image(false, 1024, 900, 100), pe_ranges(false, 900, " 1000-1024")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ranges_of(c.data), c.ranges) << c.what;
}

TEST(FileHashRanges, AnythingElseIsHashedWhole) {
    auto with = [](bytes data, size_t at, uint32_t value) {
        put32(data, at, value);
        return data;
    };
    auto cut = [](bytes data, size_t size) {
        data.resize(size);
        return data;
    };
    const bytes pe = image(false, 1024);
    const struct {
        const char* what;
        bytes data;
    } cases[] = {
        {"a text", bytes{'[', 'V', 'e', 'r', 's', 'i', 'o', 'n', ']'}},
        {"only MZ", bytes{'M', 'Z'}},
        {"PE header beyond the end", with(pe, 0x3C, 2000)},
        {"PE header offset that wraps", with(pe, 0x3C, 0xFFFFFFF0)},
        {"no PE signature", with(pe, kPe, 0x00004550 + 1)},
        {"unknown optional header", with(pe, kOptional, 0x0107)},
        {"too few directories", with(pe, kOptional + 92, 4)},
        {"optional header too small", with(pe, kPe + 20, 96)},
        {"headers cut short", cut(pe, kOptional + 100)},
        {"table beyond the end", image(false, 1024, 1000, 100)},
        {"table size that wraps", image(false, 1024, 1000, 0xFFFFFFFF)},
        {"table inside the headers", image(false, 1024, 16, 8)},
    };
    for (const auto& c : cases) {
        const std::string whole = "flat 0-" + std::to_string(c.data.size());
        EXPECT_EQ(ranges_of(c.data), whole) << c.what;
    }
    EXPECT_EQ(ranges_of(bytes{}), "flat");
}

}  // namespace
