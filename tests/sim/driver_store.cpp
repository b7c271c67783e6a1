#include "driver_store.h"

#include <optional>
#include <vector>

#include "install_parts.h"
#include "sim_state.h"

namespace sim {

install_lock::install_lock()
    : mutex_(CreateMutexW(nullptr, FALSE, L"Local\\corvane-simulated-install")) {
    // An abandoned mutex is held all the same; its owner died in the middle of an installation.
    held_ = mutex_ && WaitForSingleObject(mutex_.get(), INFINITE) != WAIT_FAILED;
}

install_lock::~install_lock() {
    if (held_)
        ReleaseMutex(mutex_.get());
}

std::wstring inf_folder() {
    std::wstring windows = environment(L"WINDIR");
    if (windows.empty())
        windows = L"C:\\windows";
    if (windows.back() == L'\\')
        windows.pop_back();
    return windows + L"\\inf";
}

DWORD copy_to_driver_store(const std::wstring& inf, std::wstring& destination) {
    std::string error;
    const std::optional<std::string> contents = read_file(inf, error);
    if (!contents) {
        const DWORD code = GetLastError();
        const DWORD attributes = GetFileAttributesW(inf.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return GetLastError() == ERROR_PATH_NOT_FOUND ? ERROR_PATH_NOT_FOUND
                                                          : ERROR_FILE_NOT_FOUND;
        return code ? code : ERROR_READ_FAULT;
    }
    const std::wstring folder = inf_folder();
    CreateDirectoryW(folder.c_str(), nullptr);
    for (unsigned number = 0; number < 10000; ++number) {
        const std::wstring path = folder + L"\\oem" + std::to_wstring(number) + L".inf";
        std::string existing_error;
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            const std::optional<std::string> existing = read_file(path, existing_error);
            if (existing && *existing == *contents) {
                destination = path;
                return ERROR_SUCCESS;
            }
            continue;
        }
        unique_file_handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            if (GetLastError() == ERROR_FILE_EXISTS)
                continue;
            return GetLastError();
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), contents->data(), static_cast<DWORD>(contents->size()), &written,
                       nullptr) ||
            written != contents->size()) {
            const DWORD code = GetLastError();
            file.reset();
            DeleteFileW(path.c_str());  // no half copy that would pass for the package
            return code ? code : ERROR_WRITE_FAULT;
        }
        destination = path;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_EXISTS;
}

setup_log::setup_log() {
    const std::wstring folder = inf_folder();
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\setupapi.dev.log";
    file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (file_ && GetFileSizeEx(file_.get(), &size) && size.QuadPart == 0)
        append(setup_log_header());
}

void setup_log::append(const std::string& text) {
    if (!file_)
        return;
    LARGE_INTEGER end = {};
    DWORD written = 0;
    if (SetFilePointerEx(file_.get(), LARGE_INTEGER{}, &end, FILE_END))
        WriteFile(file_.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void setup_log::append_placeholder() {
    LARGE_INTEGER end = {};
    if (file_ && SetFilePointerEx(file_.get(), LARGE_INTEGER{}, &end, FILE_END))
        placeholder_ = end.QuadPart;
    append("<ins>\r\n");
}

void setup_log::replace_placeholder(const std::string& text) {
    if (!file_ || placeholder_ < 0)
        return append(text);
    LARGE_INTEGER at = {};
    at.QuadPart = placeholder_;
    DWORD written = 0;
    if (SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN))
        WriteFile(file_.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    placeholder_ = -1;
}

std::string setup_log_now() {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    return setup_log_time(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                          now.wMilliseconds);
}

}  // namespace sim
