#include "files.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstring>

#include "handles.h"
#include "log.h"
#include "owner_security.h"
#include "utf8.h"
#include "utf8_io.h"
#include "windows_error.h"

usbdrv_result check_dir(const char* path) {
    static const char* const kCaller = "check_dir";
    if (!path || !*path) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "no directory path given");
        return USBDRV_ERR_INVALID_PARAM;
    }
    if (strlen(path) >= MAX_PATH) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "directory name is too long %s", path);
        return USBDRV_ERR_INVALID_PARAM;
    }

    DWORD attributes = GetFileAttributesU(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            return USBDRV_OK;
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "%s is a file, not a directory", path);
        return USBDRV_ERR_ACCESS;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "unable to read file attributes %s");
        return USBDRV_ERR_ACCESS;
    }

    owner_security owner(kCaller);
    int result = SHCreateDirectoryExU(path, owner.attributes());
    if (result == ERROR_BAD_PATHNAME) {
        // A relative path: the shell wants it qualified with the current directory.
        char full[MAX_PATH];
        DWORD length = GetCurrentDirectoryU(MAX_PATH, full);
        if (length == 0 || strlen(full) + 1 + strlen(path) >= MAX_PATH) {
            // A cut path would name some other directory and pass for this one.
            usbdrv_log(USBDRV_LOG_ERROR, kCaller, "directory name is too long %s", path);
            return USBDRV_ERR_INVALID_PARAM;
        }
        strcat(full, "\\");
        strcat(full, path);
        result = SHCreateDirectoryExU(full, owner.attributes());
    }

    if (result == ERROR_SUCCESS)
        return USBDRV_OK;
    if (result == ERROR_FILENAME_EXCED_RANGE) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "directory name is too long %s", path);
        return USBDRV_ERR_INVALID_PARAM;
    }
    LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, (uint32_t)result,
                     "unable to create directory %s (%s)", path);
    return USBDRV_ERR_ACCESS;
}

FILE* fcreate(const char* path, const char* mode) {
    if (!path || !mode)
        return nullptr;
    DWORD access = 0;
    for (const char* c = mode; *c; c++) {
        if (*c == 'r')
            access |= GENERIC_READ;
        if (*c == 'w')
            access |= GENERIC_WRITE;
    }
    if (!(access & GENERIC_WRITE))
        return nullptr;

    // Declared before every owner below, so that it restores the error after all of their
    // clean-ups: the caller finds the error of the call that failed.
    last_error_keeper keep;
    unique_malloc<wchar_t> wpath(utf8_to_utf16(path));
    if (!wpath) {
        keep.set(ERROR_INVALID_NAME);
        return nullptr;
    }

    unique_file_handle handle;
    {
        owner_security owner("fcreate");
        handle.reset(CreateFileW(wpath.get(), access, FILE_SHARE_READ, owner.attributes(),
                                 CREATE_ALWAYS, 0, nullptr));
        keep.capture();
    }
    if (!handle)
        return nullptr;

    // Binary: the library writes driver files and UTF-16 text, which a line-end translation
    // would corrupt.
    int flags = ((access & GENERIC_READ) ? _O_RDWR : _O_WRONLY) | _O_BINARY;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), flags);
    if (fd < 0) {
        keep.capture();
        return nullptr;
    }
    handle.release();  // the descriptor owns it now

    FILE* stream = _fdopen(fd, (access & GENERIC_READ) ? "w+b" : "wb");
    if (!stream) {
        keep.capture();
        _close(fd);  // by hand: a descriptor of the C runtime, which the kit does not own
    }
    return stream;
}
