// Which bytes of a file the system hashes when it puts the file into a catalog: for a PE image,
// everything but its checksum, its certificate-table entry and the certificate table itself
// (the Authenticode image hash, so that signing a file does not change it); for any other file,
// and for a PE image whose headers do not hold together, the whole file. Portable, so that it is
// also built natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

struct byte_range {
    size_t begin;
    size_t end;  // one past the last byte
};

struct file_hash_ranges {
    bool pe_image = false;
    std::vector<byte_range> ranges;  // in file order, none empty
};

file_hash_ranges hash_ranges_of(const uint8_t* data, size_t size);

}  // namespace sim
