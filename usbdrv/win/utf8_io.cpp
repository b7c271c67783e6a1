#include "win/utf8_io.h"

#include <shlobj.h>

#include <cstring>

#include "win/handles.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"

namespace {

unique_malloc<wchar_t> wide(const char* text) {
    return unique_malloc<wchar_t>(utf8_to_utf16(text));
}

}  // namespace

DWORD GetCurrentDirectoryU(DWORD size, char* buffer) {
    if (!buffer || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    buffer[0] = '\0';
    DWORD limit = size < MAX_PATH ? size : MAX_PATH;
    wchar_t current[MAX_PATH] = {};
    DWORD length = GetCurrentDirectoryW(MAX_PATH, current);
    if (length == 0)
        return 0;
    if (length >= MAX_PATH) {
        // Not written at all. An empty text here would let a caller build "\<name>" and act on
        // the drive's root, so this is a failure, not an empty directory name.
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    int written =
        WideCharToMultiByte(CP_UTF8, 0, current, -1, buffer, (int)limit, nullptr, nullptr);
    if (written == 0) {
        last_error_keeper keep;
        buffer[0] = '\0';  // a text cut by the conversion would not be terminated
    }
    return (DWORD)written;
}

DWORD GetFileAttributesU(const char* path) {
    last_error_keeper keep;
    unique_malloc<wchar_t> wpath = wide(path);
    if (!wpath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        keep.capture();
        return INVALID_FILE_ATTRIBUTES;
    }
    wchar_t* p = wpath.get();
    size_t len = wcslen(p);
    if (len >= 1 && p[0] == L'"' && p[len - 1] == L'"') {
        // One pair only; a lone quote leaves the empty path.
        p[len - 1] = L'\0';
        if (len >= 2)
            p++;
    }
    DWORD attributes = GetFileAttributesW(p);
    keep.capture();
    return attributes;
}

int SHCreateDirectoryExU(const char* path, const SECURITY_ATTRIBUTES* attributes) {
    last_error_keeper keep;
    unique_malloc<wchar_t> wpath = wide(path);
    // Its result is an error code, so a missing function cannot stand for a failed call.
    auto create_directory = imports.SHCreateDirectoryExW.get_quietly();
    int result = create_directory ? create_directory(nullptr, wpath.get(), attributes)
                                  : ERROR_PROC_NOT_FOUND;
    if (!create_directory)
        SetLastError(ERROR_PROC_NOT_FOUND);
    keep.capture();
    return result;
}

BOOL ShellExecuteExU(SHELLEXECUTEINFOA* info) {
    if (!info || info->cbSize != sizeof(SHELLEXECUTEINFOA)) {
        SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    last_error_keeper keep;
    SHELLEXECUTEINFOW winfo;
    static_assert(sizeof winfo == sizeof *info, "the two records share one layout");
    memcpy(&winfo, info, sizeof winfo);
    winfo.cbSize = sizeof winfo;
    unique_malloc<wchar_t> verb = wide(info->lpVerb), file = wide(info->lpFile),
                           parameters = wide(info->lpParameters),
                           directory = wide(info->lpDirectory);
    unique_malloc<wchar_t> class_name;
    if (info->fMask & SEE_MASK_CLASSNAME)
        class_name = wide(info->lpClass);
    winfo.lpVerb = verb.get();
    winfo.lpFile = file.get();
    winfo.lpParameters = parameters.get();
    winfo.lpDirectory = directory.get();
    winfo.lpClass = class_name.get();

    BOOL ok = imports.ShellExecuteExW(&winfo);
    keep.capture();
    info->hInstApp = winfo.hInstApp;
    info->hProcess = winfo.hProcess;
    return ok;
}

BOOL CreateProcessU(const char* application, const char* command_line,
                    SECURITY_ATTRIBUTES* process_attributes, SECURITY_ATTRIBUTES* thread_attributes,
                    BOOL inherit, DWORD flags, void* environment, const char* directory,
                    STARTUPINFOA* startup, PROCESS_INFORMATION* process_info) {
    last_error_keeper keep;
    unique_malloc<wchar_t> wapplication = wide(application), wcommand = wide(command_line),
                           wdirectory = wide(directory);
    if (!startup || startup->cb != sizeof(STARTUPINFOA)) {
        SetLastError(ERROR_BAD_LENGTH);
        keep.capture();
        return FALSE;
    }
    STARTUPINFOW wstartup;
    static_assert(sizeof wstartup == sizeof *startup, "the two records share one layout");
    memcpy(&wstartup, startup, sizeof wstartup);
    unique_malloc<wchar_t> desktop = wide(startup->lpDesktop), title = wide(startup->lpTitle);
    wstartup.lpDesktop = desktop.get();
    wstartup.lpTitle = title.get();

    BOOL ok =
        CreateProcessW(wapplication.get(), wcommand.get(), process_attributes, thread_attributes,
                       inherit, flags, environment, wdirectory.get(), &wstartup, process_info);
    keep.capture();
    return ok;
}

BOOL DeleteFileU(const char* path) {
    last_error_keeper keep;
    unique_malloc<wchar_t> wpath = wide(path);
    BOOL ok = DeleteFileW(wpath.get());
    keep.capture();
    return ok;
}
