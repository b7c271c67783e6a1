#include "package/driver_versions.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/bounded_path.h"
#include "base/driver_kinds.h"
#include "base/log.h"
#include "package/embedded_files.h"
#include "win/files.h"
#include "win/handles.h"
#include "win/owner_security.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"
#include "win/utf8_io.h"
#include "win/windows_error.h"
#include "win/windows_version.h"

namespace {

const char* const kCaller = "get_version_info";

// The file whose version stands for the kind. The CDC kind installs the system's own driver,
// which the program does not carry: its empty name matches no row.
const char* const kReferenceFiles[USBDRV_DRIVER_USER] = {"winusbcoinstaller2.dll", "libusb0.sys",
                                                         "libusbK.sys", ""};

// Seconds from 1601-01-01, where Windows file times start, to 1970-01-01.
const uint64_t kUnixEpochInFileTimeSeconds = 11644473600ULL;

const char* or_null_text(const char* text) {
    return text ? text : "<NULL>";
}

// The first row of that name, in table order: for kinds 0 to 2 the "x86" copy.
const embedded_file* find_embedded(const char* name) {
    for (size_t i = 0; i < embedded_file_count; i++) {
        if (strcmp(or_null_text(embedded_files[i].name), or_null_text(name)) == 0)
            return &embedded_files[i];
    }
    return nullptr;
}

// The last record read of each kind 0 to 2, copied out under the lock, never handed out.
class version_cache {
public:
    bool find(int32_t kind, VS_FIXEDFILEINFO& record) {
        std::lock_guard<std::mutex> hold(lock_);
        if (!filled_[kind])
            return false;
        record = records_[kind];
        return true;
    }
    void keep(int32_t kind, const VS_FIXEDFILEINFO& record) {
        std::lock_guard<std::mutex> hold(lock_);
        records_[kind] = record;
        filled_[kind] = true;
    }

private:
    std::mutex lock_;
    bool filled_[USBDRV_DRIVER_USER] = {};
    VS_FIXEDFILEINFO records_[USBDRV_DRIVER_USER] = {};
};

version_cache cache;

// version.dll's functions; the import table looks each up once per process.
struct version_functions {
    decltype(&::GetFileVersionInfoSizeW) get_size = imports.GetFileVersionInfoSizeW.get_quietly();
    decltype(&::GetFileVersionInfoW) get_info = imports.GetFileVersionInfoW.get_quietly();
    decltype(&::VerQueryValueW) query = imports.VerQueryValueW.get_quietly();

    bool found() const { return get_size && get_info && query; }
};

// Reads the fixed version record of the file at path. The path goes to the system as UTF-16, so
// a TEMP folder whose name is not plain ASCII works too.
bool read_fixed_info(const version_functions& version, const char* path, VS_FIXEDFILEINFO* info) {
    unique_malloc<wchar_t> wide_path(utf8_to_utf16(path));
    if (!wide_path)
        return false;
    DWORD size = version.get_size(wide_path.get(), nullptr);
    if (size == 0)
        return false;
    unique_malloc<void> buffer(malloc(size));
    if (!buffer || !version.get_info(wide_path.get(), 0, size, buffer.get()))
        return false;
    void* fixed = nullptr;
    UINT length = 0;
    if (!version.query(buffer.get(), L"\\", &fixed, &length) || !fixed || length < sizeof *info)
        return false;
    memcpy(info, fixed, sizeof *info);
    return true;
}

usbdrv_result check_request(int32_t kind, const VS_FIXEDFILEINFO* record) {
    if ((uint32_t)kind >= USBDRV_DRIVER_USER) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "unknown driver type %d", kind);
        return USBDRV_ERR_INVALID_PARAM;
    }
    if (!record) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "no version record given");
        return USBDRV_ERR_INVALID_PARAM;
    }
    return USBDRV_OK;
}

// The reading itself, for a kind and record already checked.
usbdrv_result read_carried_version(int32_t kind, VS_FIXEDFILEINFO* record) {
    version_functions version;
    if (!version.found()) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "unable to access version.dll");
        return USBDRV_ERR_RESOURCE;
    }

    const embedded_file* file = find_embedded(kReferenceFiles[kind]);
    if (!file) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "no driver file is carried for %s",
                   driver_display_names[kind]);
        return USBDRV_ERR_NOT_FOUND;
    }

    unique_malloc<char> folder(temp_folder());
    if (!folder) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "unable to use TEMP to extract file");
        return USBDRV_ERR_RESOURCE;
    }
    usbdrv_result result = check_dir(folder.get());
    if (result != USBDRV_OK)
        return result;

    bounded_path path;
    path.append(folder.get()).append("\\").append(file->name);
    // Cut, the name would be some other file, which would be replaced and then deleted.
    if (path.cut()) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "qualified path is too long: '%s'", path.c_str());
        return USBDRV_ERR_RESOURCE;
    }
    owner_security owner(kCaller);
    file_write write = write_whole_file(path.c_str(), {{file->data, (uint32_t)file->size}}, owner);
    if (!write) {
        log_failed_write(write, USBDRV_LOG_WARNING, kCaller, path.c_str());
        return USBDRV_ERR_RESOURCE;
    }

    VS_FIXEDFILEINFO info;
    if (read_fixed_info(version, path.c_str(), &info)) {
        // The driver date is the carried file's own time, not the one its version record gives.
        uint64_t date = (file->timestamp + kUnixEpochInFileTimeSeconds) * 10000000ULL;
        info.dwFileDateMS = (DWORD)(date >> 32);
        info.dwFileDateLS = (DWORD)date;
        cache.keep(kind, info);
        *record = info;
    } else {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "unable to allocate buffer for version info");
        result = USBDRV_ERR_RESOURCE;
    }
    DeleteFileU(path.c_str());
    return result;
}

}  // namespace

usbdrv_result get_version_info(int32_t kind, VS_FIXEDFILEINFO* record) {
    if (usbdrv_result refused = check_request(kind, record))
        return refused;
    if (cache.find(kind, *record))
        return USBDRV_OK;
    return read_carried_version(kind, record);
}

usbdrv_result read_version_info(int32_t kind, VS_FIXEDFILEINFO* record) {
    if (usbdrv_result refused = check_request(kind, record))
        return refused;
    return read_carried_version(kind, record);
}

int32_t usbdrv_is_driver_supported(int32_t driver_type, VS_FIXEDFILEINFO* version) {
    switch (driver_type) {
        case USBDRV_DRIVER_WINUSB:
        case USBDRV_DRIVER_LIBUSB0:
        case USBDRV_DRIVER_LIBUSBK:
            // Without a record there is nothing to fill.
            if (version) {
                memset(version, 0, sizeof *version);
                get_version_info(driver_type, version);
            }
            break;
        default:
            break;
    }

    switch (driver_type) {
        case USBDRV_DRIVER_WINUSB:
            // XP and later, except Server 2003.
            if (windows_version == -1)
                detect_windows_version();
            return windows_version >= 0x51 && windows_version != 0x52;
        case USBDRV_DRIVER_LIBUSB0:
        case USBDRV_DRIVER_LIBUSBK:
        case USBDRV_DRIVER_CDC:
            return 1;
        case USBDRV_DRIVER_USER:
            return 0;
        default:
            usbdrv_log(USBDRV_LOG_ERROR, "usbdrv_is_driver_supported", "unknown driver type");
            return 0;
    }
}
