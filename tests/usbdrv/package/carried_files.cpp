#include "carried_files.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace test {

std::string read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string content_of(const embedded_file& row) {
    return std::string(reinterpret_cast<const char*>(row.data), (size_t)row.size);
}

uint64_t unix_time_of(const std::filesystem::path& file) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data))
        return 0;
    uint64_t ticks =
        (uint64_t)data.ftLastWriteTime.dwHighDateTime << 32 | data.ftLastWriteTime.dwLowDateTime;
    return ticks / 10000000 - 11644473600ULL;
}

namespace {
// The offset of the COFF file header, or 0.
size_t coff_header(const std::string& data) {
    if (data.size() < 0x40 || data.compare(0, 2, "MZ") != 0)
        return 0;
    uint32_t offset;
    memcpy(&offset, data.data() + 0x3C, 4);
    if ((size_t)offset + 24 > data.size() || data.compare(offset, 4, std::string("PE\0\0", 4)) != 0)
        return 0;
    return offset + 4;
}
}  // namespace

uint16_t pe_machine(const std::string& data) {
    size_t header = coff_header(data);
    uint16_t machine = 0;
    if (header)
        memcpy(&machine, data.data() + header, 2);
    return machine;
}

uint32_t pe_time_stamp(const std::string& data) {
    size_t header = coff_header(data);
    uint32_t stamp = 0;
    if (header)
        memcpy(&stamp, data.data() + header + 4, 4);
    return stamp;
}

bool read_version(const std::string& data, const std::filesystem::path& folder,
                  const std::wstring& name, version_record* record) {
    std::filesystem::path file = folder / name;
    {
        std::ofstream out(file, std::ios::binary);
        out.write(data.data(), (std::streamsize)data.size());
    }
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), nullptr);
    std::vector<BYTE> buffer(size);
    bool ok = size > 0 && GetFileVersionInfoW(file.c_str(), 0, size, buffer.data());
    std::filesystem::remove(file);
    if (!ok)
        return false;

    void* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(buffer.data(), L"\\", &fixed, &length) || length < sizeof record->fixed)
        return false;
    memcpy(&record->fixed, fixed, sizeof record->fixed);

    WORD* translation = nullptr;
    record->description.clear();
    if (VerQueryValueW(buffer.data(), L"\\VarFileInfo\\Translation",
                       reinterpret_cast<void**>(&translation), &length) &&
        length >= 4) {
        wchar_t query[64];
        swprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\FileDescription", translation[0],
                 translation[1]);
        wchar_t* text = nullptr;
        if (VerQueryValueW(buffer.data(), query, reinterpret_cast<void**>(&text), &length) && text)
            record->description = text;
    }
    return true;
}

}  // namespace test
