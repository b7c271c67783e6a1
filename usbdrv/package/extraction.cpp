#include "package/extraction.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "base/bounded_path.h"
#include "base/log.h"
#include "package/embedded_files.h"
#include "win/files.h"
#include "win/handles.h"
#include "win/owner_security.h"

namespace {

const char* const kCaller = "extract_binaries";

usbdrv_result path_too_long(const bounded_path& path) {
    usbdrv_log(USBDRV_LOG_ERROR, kCaller, "qualified path is too long: '%s'", path.c_str());
    return USBDRV_ERR_RESOURCE;
}

usbdrv_result write_file(const char* path, const embedded_file& file, owner_security& owner) {
    size_t size = (uint32_t)file.size;  // the table's sizes fit in 32 bits
    file_write write = write_whole_file(path, {{file.data, size}}, owner);
    if (write)
        return USBDRV_OK;
    log_failed_write(write, USBDRV_LOG_ERROR, kCaller, path);
    return USBDRV_ERR_RESOURCE;
}

// The package's folders, each made sure of once: the table's rows come folder after folder, but
// not in one run per folder. A folder beyond the room is simply checked again.
class checked_folders {
public:
    bool contains(const char* subdir) const {
        for (size_t i = 0; i < count_; i++) {
            if (strcmp(known_[i], subdir) == 0)
                return true;
        }
        return false;
    }
    void add(const char* subdir) {
        if (count_ < kRoom)
            known_[count_++] = subdir;
    }

private:
    static constexpr size_t kRoom = 8;
    const char* known_[kRoom] = {};  // the table's own texts
    size_t count_ = 0;
};

}  // namespace

usbdrv_result extract_binaries(const char* path) {
    if (!path || !*path) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "no package directory given");
        return USBDRV_ERR_INVALID_PARAM;
    }

    // The user is looked up once for all the folders and files.
    owner_security owner(kCaller);
    checked_folders folders;
    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& file = embedded_files[i];
        if (!*file.subdir)
            continue;  // a template: the preparation fills it, it is never written as it stands

        bounded_path target;
        target.append(path).append("\\").append(file.subdir);
        // Made with a cut name, the folder would be some other directory.
        if (target.cut())
            return path_too_long(target);
        if (!folders.contains(file.subdir)) {
            usbdrv_result result = check_dir(target.c_str(), owner);
            if (result != USBDRV_OK)
                return result;
            folders.add(file.subdir);
        }

        target.append("\\").append(file.name);
        if (target.cut())
            return path_too_long(target);
        usbdrv_result result = write_file(target.c_str(), file, owner);
        if (result != USBDRV_OK)
            return result;
    }

    usbdrv_log(USBDRV_LOG_INFO, kCaller, "successfully extracted driver files to %s", path);
    return USBDRV_OK;
}
