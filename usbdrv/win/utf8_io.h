// UTF-8 faces of the system's UTF-16 file, directory and process calls. Each keeps the last
// error of the system call, for the caller to read at once after it. An empty text reaches the
// system as null.
#pragma once

#include <windows.h>
#include <shellapi.h>

// Writes the current directory as UTF-8 into buffer (size bytes, at most 260 used). Returns the
// bytes written including the NUL, or 0 with an empty text when it does not fit or fails.
DWORD GetCurrentDirectoryU(DWORD size, char* buffer);
// A path wrapped in one pair of double quotes is taken without them.
DWORD GetFileAttributesU(const char* path);
// Creates path and every missing directory above it. Returns a Windows error code, 0 on success.
int SHCreateDirectoryExU(const char* path, const SECURITY_ATTRIBUTES* attributes);
// info's texts are UTF-8. Only hInstApp and hProcess are copied back.
BOOL ShellExecuteExU(SHELLEXECUTEINFOA* info);
BOOL CreateProcessU(const char* application, const char* command_line,
                    SECURITY_ATTRIBUTES* process_attributes, SECURITY_ATTRIBUTES* thread_attributes,
                    BOOL inherit, DWORD flags, void* environment, const char* directory,
                    STARTUPINFOA* startup, PROCESS_INFORMATION* process_info);
BOOL DeleteFileU(const char* path);
