// What the tests of the carried driver files share: reading PE headers, version records and
// file times independently of the library.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "package/embedded_files.h"

namespace test {

std::string read_file(const std::filesystem::path& file);
std::string content_of(const embedded_file& row);
// The file's modification time in seconds since 1970.
uint64_t unix_time_of(const std::filesystem::path& file);

// The machine field of a PE file's header (IMAGE_FILE_MACHINE_*), or 0 when it is not one.
uint16_t pe_machine(const std::string& data);
// The link time stamp of a PE file's header.
uint32_t pe_time_stamp(const std::string& data);

struct version_record {
    VS_FIXEDFILEINFO fixed{};
    std::wstring description;  // FileDescription of the first translation
};
// Writes data into folder under name and reads its version record back through the system.
// False when it has none.
bool read_version(const std::string& data, const std::filesystem::path& folder,
                  const std::wstring& name, version_record* record);

}  // namespace test
