#include "win/files.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "base/log.h"
#include "win/handles.h"
#include "win/owner_security.h"
#include "win/utf8.h"
#include "win/utf8_io.h"
#include "win/windows_error.h"

namespace {

const char* const kCheckDirCaller = "check_dir";

// CREATE_ALWAYS with the owner's security and FILE_SHARE_READ; the thread's last error is the
// creation's own when the handle is invalid.
unique_file_handle create_owned_file(const char* path, DWORD access, owner_security& owner) {
    // Declared before every owner below, so that it restores the error after all of their
    // clean-ups: the caller finds the error of the call that failed.
    last_error_keeper keep;
    unique_malloc<wchar_t> wpath(utf8_to_utf16(path));
    if (!wpath) {
        keep.set(ERROR_INVALID_NAME);
        return {};
    }
    unique_file_handle handle(CreateFileW(wpath.get(), access, FILE_SHARE_READ, owner.attributes(),
                                          CREATE_ALWAYS, 0, nullptr));
    keep.capture();
    return handle;
}

// WriteFile may write less than asked (a full disk, a file size limit) and say nothing: the rest
// is asked for again, and a write of nothing is a failure with the error it leaves.
bool write_all(HANDLE file, const void* data, size_t size, uint32_t& error) {
    const BYTE* cursor = static_cast<const BYTE*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : (DWORD)size;
        DWORD done = 0;
        SetLastError(ERROR_SUCCESS);  // a short write may set none
        if (!WriteFile(file, cursor, chunk, &done, nullptr) || done == 0) {
            error = GetLastError();
            if (error == ERROR_SUCCESS)
                error = ERROR_WRITE_FAULT;
            return false;
        }
        cursor += done;
        size -= done;
    }
    return true;
}

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// A path from a drive's root ("C:\\...") or a share ("\\\\server\\...").
bool is_absolute(const wchar_t* path) {
    return (iswalpha(path[0]) && path[1] == L':' && is_separator(path[2])) ||
           (is_separator(path[0]) && is_separator(path[1]));
}

// Makes path and the missing folders above it, one CreateDirectoryW each. The shell's call does
// the same and then tells the shell of every new folder, which under Wine costs several times
// the creation itself; an extraction makes three folders per package. False when a level fails
// (the caller then asks the shell, whose answer it reports).
bool create_levels(wchar_t* path, SECURITY_ATTRIBUTES* attributes, int depth) {
    if (CreateDirectoryW(path, attributes))
        return true;
    if (GetLastError() != ERROR_PATH_NOT_FOUND || depth == 0)
        return false;
    wchar_t* last = nullptr;
    for (wchar_t* c = path; *c; c++) {
        if (is_separator(*c))
            last = c;
    }
    if (!last || last == path || last[-1] == L':' || is_separator(last[-1]))
        return false;  // the parent is a root, which no creation can make
    wchar_t separator = *last;
    *last = L'\0';
    bool parent = create_levels(path, attributes, depth - 1);
    *last = separator;
    return parent && CreateDirectoryW(path, attributes);
}

bool create_directories_quickly(const char* path, SECURITY_ATTRIBUTES* attributes) {
    unique_malloc<wchar_t> wide(utf8_to_utf16(path));
    if (!wide || !is_absolute(wide.get()))
        return false;
    size_t length = wcslen(wide.get());
    while (length > 3 && is_separator(wide.get()[length - 1]))
        wide.get()[--length] = L'\0';
    return create_levels(wide.get(), attributes, 32);
}

}  // namespace

usbdrv_result check_dir(const char* path) {
    owner_security owner(kCheckDirCaller);
    return check_dir(path, owner);
}

usbdrv_result check_dir(const char* path, owner_security& owner) {
    const char* const kCaller = kCheckDirCaller;
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

    if (create_directories_quickly(path, owner.attributes()))
        return USBDRV_OK;
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

    // Declared before the owner, so that it restores the error after the owner's clean-up: the
    // caller finds the error of the call that failed.
    last_error_keeper keep;
    owner_security owner("fcreate");
    unique_file_handle handle = create_owned_file(path, access, owner);
    if (!handle) {
        keep.capture();
        return nullptr;
    }

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

const char* file_write::reason() const {
    return windows_error_text(system_error);
}

file_write write_whole_file(const char* path, std::initializer_list<file_piece> pieces,
                            owner_security& owner) {
    file_write result;
    if (!path) {
        result.outcome = file_write::not_created;
        result.system_error = ERROR_INVALID_NAME;
        return result;
    }
    unique_file_handle file = create_owned_file(path, GENERIC_WRITE, owner);
    if (!file) {
        result.outcome = file_write::not_created;
        result.system_error = GetLastError();
        return result;
    }
    for (const file_piece& piece : pieces) {
        if (!write_all(file.get(), piece.data, piece.size, result.system_error)) {
            result.outcome = file_write::not_written;
            break;
        }
    }
    // By hand: a close that fails may have lost what the system still held for the file.
    if (!CloseHandle(file.release()) && result) {
        result.outcome = file_write::not_written;
        result.system_error = GetLastError();
    }
    if (!result)
        DeleteFileU(path);
    return result;
}

void log_failed_write(const file_write& write, int level, const char* caller, const char* path) {
    if (write.outcome == file_write::not_created) {
        usbdrv_log(level, caller, "failed to create file '%s' (%s)", path, write.reason());
    } else {
        usbdrv_log(level, caller, "failed to write file '%s' (%s)", path, write.reason());
    }
}

char* temp_folder() {
    const char* value = getenv("TEMP");
    if (!value || !*value)
        return nullptr;
    int units = MultiByteToWideChar(CP_ACP, 0, value, -1, nullptr, 0);
    if (units <= 1)
        return nullptr;
    unique_malloc<wchar_t> wide(static_cast<wchar_t*>(calloc(units, sizeof(wchar_t))));
    if (!wide || MultiByteToWideChar(CP_ACP, 0, value, -1, wide.get(), units) != units)
        return nullptr;
    return utf16_to_utf8(wide.get());
}
