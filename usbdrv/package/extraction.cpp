#include "extraction.h"

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bounded_path.h"
#include "embedded_files.h"
#include "files.h"
#include "handles.h"
#include "log.h"
#include "utf8_io.h"
#include "windows_error.h"

namespace {

const char* const kCaller = "extract_binaries";

usbdrv_result path_too_long(const bounded_path& path) {
    usbdrv_log(USBDRV_LOG_ERROR, kCaller, "qualified path is too long: '%s'", path.c_str());
    return USBDRV_ERR_RESOURCE;
}

// The errors one C stream call left: the system's and the C runtime's, both cleared before the
// call, so that neither is a leftover of an earlier one (replacing a file leaves
// ERROR_ALREADY_EXISTS behind, and a write cut short sets no system error at all).
struct stream_errors {
    DWORD system = 0;
    int c = 0;

    static void clear() {
        SetLastError(0);
        errno = 0;
    }
    static stream_errors read() { return {GetLastError(), errno}; }
};

usbdrv_result write_file(const char* path, const embedded_file& file) {
    unique_file stream(fcreate(path, "w"));
    if (!stream) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, GetLastError(),
                         "failed to create file '%s' (%s)", path);
        return USBDRV_ERR_RESOURCE;
    }

    size_t size = (uint32_t)file.size;  // the table's sizes fit in 32 bits
    stream_errors errors;
    stream_errors::clear();
    bool written = fwrite(file.data, 1, size, stream.get()) == size;
    if (!written)
        errors = stream_errors::read();
    // By hand: the close writes what the stream still buffers, so its result is checked.
    stream_errors::clear();
    if (fclose(stream.release()) != 0 && written) {
        written = false;
        errors = stream_errors::read();
    }
    if (written)
        return USBDRV_OK;

    // A driver file cut short must not pass for a complete one.
    DeleteFileU(path);
    if (errors.system) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, errors.system, "failed to write file '%s' (%s)",
                         path);
    } else {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "failed to write file '%s' (%s)", path,
                   strerror(errors.c));
    }
    return USBDRV_ERR_RESOURCE;
}

}  // namespace

usbdrv_result extract_binaries(const char* path) {
    if (!path || !*path) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "no package directory given");
        return USBDRV_ERR_INVALID_PARAM;
    }

    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& file = embedded_files[i];
        if (!*file.subdir)
            continue;  // a template: the preparation fills it, it is never written as it stands

        bounded_path target;
        target.append(path).append("\\").append(file.subdir);
        // Made with a cut name, the folder would be some other directory.
        if (target.cut())
            return path_too_long(target);
        usbdrv_result result = check_dir(target.c_str());
        if (result != USBDRV_OK)
            return result;

        target.append("\\").append(file.name);
        if (target.cut())
            return path_too_long(target);
        result = write_file(target.c_str(), file);
        if (result != USBDRV_OK)
            return result;
    }

    usbdrv_log(USBDRV_LOG_INFO, kCaller, "successfully extracted driver files to %s", path);
    return USBDRV_OK;
}
