#include "driver_store.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>

#include "console.h"
#include "usbdrv/kit.h"
#include "usbdrv/usbdrv.h"

namespace cli {

namespace {

// %WINDIR%\INF, where the system publishes the INFs of its driver store: the folder WINDIR
// names, as for the setup log, or the system's own.
std::wstring inf_folder() {
    std::optional<std::u16string> named = environment_utf16(L"WINDIR");
    if (named && !named->empty())
        return std::wstring(named->begin(), named->end()) + L"\\INF\\";
    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return L"";
    return std::wstring(windows, length) + L"\\INF\\";
}

// "oem12.inf" sorts after "oem3.inf".
unsigned long number_of(const std::string& name) {
    return strtoul(name.c_str() + 3, nullptr, 10);
}

}  // namespace

std::optional<std::string> inf_file_text(const std::wstring& path) {
    unique_file_handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::nullopt;
    LARGE_INTEGER size;
    // An INF is text of a few KiB; one of more than 16 MiB is no INF to read here.
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > 16 * 1024 * 1024)
        return std::nullopt;
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) ||
         read != bytes.size()))
        return std::nullopt;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        std::wstring wide((bytes.size() - 2) / 2, L'\0');
        if (!wide.empty())
            memcpy(&wide[0], bytes.data() + 2, wide.size() * sizeof(wchar_t));
        return narrow(wide);
    }
    return bytes;
}

std::vector<stored_package> driver_store_packages() {
    std::vector<stored_package> packages;
    const std::wstring folder = inf_folder();
    if (folder.empty())
        return packages;
    WIN32_FIND_DATAW found;
    unique_find search(FindFirstFileW((folder + L"oem*.inf").c_str(), &found));
    if (!search)
        return packages;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        const std::string name = narrow(found.cFileName);
        std::optional<std::string> text = inf_file_text(folder + found.cFileName);
        if (!text) {
            say_warning("cannot read the driver store's " + name + " (Windows error " +
                        std::to_string(GetLastError()) + ") - left out");
            continue;
        }
        packages.push_back({name, std::move(*text)});
    } while (FindNextFileW(search.get(), &found));
    std::sort(packages.begin(), packages.end(),
              [](const stored_package& a, const stored_package& b) {
                  return number_of(a.published_name) < number_of(b.published_name);
              });
    return packages;
}

std::optional<std::string> stored_inf_text(const std::string& published_name) {
    // A name from the device's driver key: never a path out of the INF folder.
    if (published_name.empty() || published_name.find_first_of("\\/:") != std::string::npos ||
        published_name.find("..") != std::string::npos)
        return std::nullopt;
    const std::wstring folder = inf_folder();
    if (folder.empty())
        return std::nullopt;
    return inf_file_text(folder + widen(published_name));
}

inf_facts bound_package(const char* inf_name) {
    std::optional<std::string> text = stored_inf_text(inf_name ? inf_name : "");
    return text ? read_inf_facts(*text) : inf_facts{};
}

bool running_elevated() {
    // advapi32 from the system folder when the question is asked: a start that prints its help
    // or lists devices does not load it.
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    const wchar_t kName[] = L"\\advapi32.dll";
    if (length == 0 || length + wcslen(kName) >= MAX_PATH)
        return false;
    wcscpy(path + length, kName);
    const HMODULE advapi32 = LoadLibraryW(path);  // stays loaded: the process uses it again
    if (!advapi32)
        return false;
    const auto find = [advapi32](auto* typed, const char* name) {
        return reinterpret_cast<decltype(typed)>(
            reinterpret_cast<void*>(GetProcAddress(advapi32, name)));
    };
    auto open_token = find(&OpenProcessToken, "OpenProcessToken");
    auto token_information = find(&GetTokenInformation, "GetTokenInformation");
    auto allocate_sid = find(&AllocateAndInitializeSid, "AllocateAndInitializeSid");
    auto check_membership = find(&CheckTokenMembership, "CheckTokenMembership");
    auto free_sid = find(&FreeSid, "FreeSid");
    if (!open_token || !token_information || !allocate_sid || !check_membership || !free_sid)
        return false;

    unique_token token;
    {
        HANDLE taken = nullptr;
        if (!open_token(GetCurrentProcess(), TOKEN_QUERY, &taken))
            return false;
        token.reset(taken);
    }
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (token_information(token.get(), TokenElevation, &elevation, sizeof elevation, &size))
        return elevation.TokenIsElevated != 0;
    // Before Vista there is no elevation: an administrator has the rights.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!allocate_sid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                      0, &administrators))
        return false;
    BOOL member = FALSE;
    if (!check_membership(nullptr, administrators, &member))
        member = FALSE;
    free_sid(administrators);
    return member != FALSE;
}

}  // namespace cli
