#include "sim_state.h"

#include "driver_store.h"

#include <setupapi.h>

#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "z_drive_path.h"

namespace sim {
namespace {

// Far from the small numbers of list positions, so that a position taken for a device number
// does not find a device by luck.
constexpr DEVINST kFirstDevinst = 1001;

// Larger files are not scenarios; refusing them keeps a wrong path from eating memory.
constexpr LONGLONG kMaxScenarioBytes = 16 * 1024 * 1024;

// What identifies one state of the scenario file. Taken without opening the file: Wine refuses
// to rename a file over one that somebody holds open, and the file is replaced that way.
struct file_signature {
    std::wstring path;
    DWORD error = ERROR_SUCCESS;
    FILETIME created = {};
    FILETIME written = {};
    DWORD size_high = 0;
    DWORD size_low = 0;

    bool operator==(const file_signature& other) const {
        return path == other.path && error == other.error &&
               CompareFileTime(&created, &other.created) == 0 &&
               CompareFileTime(&written, &other.written) == 0 && size_high == other.size_high &&
               size_low == other.size_low;
    }
};

struct shared_state {
    critical_section lock;
    machine_ptr machine = std::make_shared<const sim::machine>();
    machine_ptr file_machine = machine;      // as the file says, before the device states
    device_states states;                    // laid over it
    std::optional<file_signature> seen;      // the file state last read, good or not
    std::map<std::string, DEVINST> numbers;  // by upper-case instance ID
    std::deque<std::string> instances;       // by number - kFirstDevinst; never moves
};

shared_state state;

void write_stderr(const std::string& text) {
    HANDLE stream = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    if (stream && stream != INVALID_HANDLE_VALUE)
        WriteFile(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void report_bad_file(const std::wstring& path, const std::string& message) {
    write_stderr("simulated machine: scenario " + utf8_of(path) + ": " + message +
                 " (the last good machine stays)\n");
    journal({"scenario", utf8_of(path), "error " + message});
}

}  // namespace

std::optional<std::string> read_file(const std::wstring& path, std::string& error) {
    unique_file_handle file(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        error = "cannot be opened (error " + std::to_string(GetLastError()) + ")";
        return std::nullopt;
    }
    if (size.QuadPart > kMaxScenarioBytes) {
        error = "larger than " + std::to_string(kMaxScenarioBytes) + " bytes";
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD done = 0;
    if (!text.empty() &&
        !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &done, nullptr)) {
        error = "cannot be read (error " + std::to_string(GetLastError()) + ")";
        return std::nullopt;
    }
    text.resize(done);
    return text;
}

namespace {

// The file's machine with the device states laid over it, made again only when either changed.
machine_ptr with_states(machine_ptr file_machine) {
    device_states states = read_device_states();
    if (file_machine == state.file_machine && states == state.states)
        return state.machine;
    state.file_machine = file_machine;
    state.states = std::move(states);
    if (state.states.empty()) {
        state.machine = file_machine;
    } else {
        auto combined = std::make_shared<machine>(*file_machine);
        apply_states(*combined, state.states);
        state.machine = std::move(combined);
    }
    return state.machine;
}

std::wstring wide_multi_sz(const std::vector<std::string>& entries) {
    std::wstring data;
    for (const std::string& entry : entries) {
        data += widen(entry);
        data += L'\0';
    }
    data += L'\0';
    return data;
}

std::vector<std::string> entries_of(const std::wstring& data) {
    std::vector<std::string> entries;
    std::size_t at = 0;
    while (at < data.size() && data[at]) {
        const std::size_t end = data.find(L'\0', at);
        const std::size_t stop = end == std::wstring::npos ? data.size() : end;
        entries.push_back(utf8_of(std::wstring_view(data).substr(at, stop - at)));
        at = stop + 1;
    }
    return entries;
}

}  // namespace

std::wstring environment(const wchar_t* name) {
    std::wstring value(64, L'\0');
    for (;;) {
        DWORD length =
            GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length);
    }
}

std::wstring state_key_path() {
    std::wstring name = environment(L"CORVANE_SIM_STATE");
    if (name.empty()) {
        const std::wstring scenario = z_drive_path(environment(L"CORVANE_SCENARIO"));
        wchar_t full[MAX_PATH * 4];
        const DWORD length =
            scenario.empty() ? 0 : GetFullPathNameW(scenario.c_str(), MAX_PATH * 4, full, nullptr);
        const std::wstring path =
            length && length < MAX_PATH * 4 ? std::wstring(full, length) : scenario;
        name = path.empty() ? L"no scenario"
                            : L"scenario " + widen(hash_text(stable_hash(id_key(utf8_of(path)))));
    }
    for (wchar_t& c : name) {
        if (c == L'\\')
            c = L'_';
    }
    return L"Software\\Corvane\\Simulation\\" + name;
}

device_states read_device_states() {
    device_states states;
    HKEY opened = nullptr;
    const std::wstring path = state_key_path() + L"\\Devices";
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS)
        return states;
    unique_hkey key(opened);
    for (DWORD index = 0;; ++index) {
        wchar_t name[512];
        DWORD name_length = 512;
        DWORD type = 0;
        DWORD size = 0;
        LSTATUS status =
            RegEnumValueW(key.get(), index, name, &name_length, nullptr, &type, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || type != REG_MULTI_SZ)
            continue;
        // Read by name: the value may have grown since it was counted.
        std::wstring data(size / sizeof(wchar_t) + 2, L'\0');
        for (;;) {
            DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
            status = RegQueryValueExW(key.get(), name, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data.data()), &bytes);
            if (status != ERROR_MORE_DATA)
                break;
            data.resize(bytes / sizeof(wchar_t) + 2);
        }
        if (status == ERROR_SUCCESS)
            states[id_key(utf8_of(name))] = decode_state(entries_of(data));
    }
    return states;
}

DWORD write_device_state(std::string_view instance, const device_state& device) {
    const std::wstring path = state_key_path() + L"\\Devices";
    HKEY created = nullptr;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &created, nullptr);
    if (status != ERROR_SUCCESS)
        return static_cast<DWORD>(status);
    unique_hkey key(created);
    const std::wstring data = wide_multi_sz(encode_state(device));
    return static_cast<DWORD>(RegSetValueExW(key.get(), widen(id_key(instance)).c_str(), 0,
                                             REG_MULTI_SZ,
                                             reinterpret_cast<const BYTE*>(data.data()),
                                             static_cast<DWORD>(data.size() * sizeof(wchar_t))));
}

DWORD delete_device_state(std::string_view instance) {
    const std::wstring path = state_key_path() + L"\\Devices";
    HKEY opened = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_SET_VALUE, &opened);
    if (status == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS)
        return static_cast<DWORD>(status);
    unique_hkey key(opened);
    status = RegDeleteValueW(key.get(), widen(id_key(instance)).c_str());
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(status);
}

state_lock::state_lock() : lock_(state.lock) {}

std::optional<std::vector<std::string>> read_present_devices() {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, state_key_path().c_str(), 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS)
        return std::nullopt;
    unique_hkey key(opened);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), L"Present devices", nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS ||
        type != REG_MULTI_SZ)
        return std::nullopt;
    std::wstring data(size / sizeof(wchar_t) + 2, L'\0');
    DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), L"Present devices", nullptr, &type,
                         reinterpret_cast<BYTE*>(data.data()), &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    return entries_of(data);
}

DWORD write_present_devices(const std::vector<std::string>& ids) {
    HKEY created = nullptr;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CURRENT_USER, state_key_path().c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &created, nullptr);
    if (status != ERROR_SUCCESS)
        return static_cast<DWORD>(status);
    unique_hkey key(created);
    const std::wstring data = wide_multi_sz(ids);
    return static_cast<DWORD>(RegSetValueExW(key.get(), L"Present devices", 0, REG_MULTI_SZ,
                                             reinterpret_cast<const BYTE*>(data.data()),
                                             static_cast<DWORD>(data.size() * sizeof(wchar_t))));
}

machine_ptr refresh_machine() {
    const std::wstring path = z_drive_path(environment(L"CORVANE_SCENARIO"));
    if (path.empty()) {
        if (state.seen) {
            state.seen.reset();
            return with_states(std::make_shared<const machine>());
        }
        return with_states(state.file_machine);
    }

    file_signature signature;
    signature.path = path;
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
        signature.created = attributes.ftCreationTime;
        signature.written = attributes.ftLastWriteTime;
        signature.size_high = attributes.nFileSizeHigh;
        signature.size_low = attributes.nFileSizeLow;
    } else {
        signature.error = GetLastError();
    }
    if (state.seen && *state.seen == signature)
        return with_states(state.file_machine);
    state.seen = signature;

    std::string error;
    std::optional<std::string> text;
    if (signature.error == ERROR_SUCCESS)
        text = read_file(path, error);
    else
        error = "cannot be opened (error " + std::to_string(signature.error) + ")";
    if (!text) {
        report_bad_file(path, error);
        return with_states(state.file_machine);
    }
    parse_result parsed = parse_scenario(*text);
    if (!parsed.ok()) {
        report_bad_file(path, parsed.error->text());
        return with_states(state.file_machine);
    }
    if (parsed.value.plug_and_play)
        serve_plugged_in_devices(parsed.value);
    return with_states(std::make_shared<const machine>(std::move(parsed.value)));
}

machine_ptr current_machine() {
    return state.machine;
}

machine_ptr scenario_machine() {
    return state.file_machine;
}

DEVINST devinst_of(std::string_view instance) {
    auto [at, inserted] = state.numbers.emplace(
        id_key(instance), static_cast<DEVINST>(kFirstDevinst + state.instances.size()));
    if (inserted)
        state.instances.emplace_back(instance);
    return at->second;
}

const std::string* instance_of(DEVINST devinst) {
    if (devinst < kFirstDevinst || devinst - kFirstDevinst >= state.instances.size())
        return nullptr;
    return &state.instances[devinst - kFirstDevinst];
}

namespace {

template <typename Fields>
void journal_line(const Fields& fields) {
    const std::wstring path = z_drive_path(environment(L"CORVANE_SIM_JOURNAL"));
    if (path.empty())
        return;
    std::string line;
    for (std::string_view field : fields) {
        if (!line.empty())
            line += '\t';
        // A tab or a line break inside a field would break the line apart.
        for (char c : field)
            line += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
    }
    line += '\n';
    // Opened for each line and written in one piece, so that the lines of several processes
    // sharing a journal interleave whole.
    unique_file_handle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file)
        WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

void journal(std::initializer_list<std::string_view> fields) {
    journal_line(fields);
}

void journal(const std::vector<std::string>& fields) {
    journal_line(fields);
}

std::wstring widen(std::string_view utf8) {
    if (utf8.empty())
        return {};
    const int size = static_cast<int>(utf8.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, result.data(), length);
    return result;
}

namespace {

std::string narrow(UINT code_page, std::wstring_view text) {
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(code_page, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(code_page, 0, text.data(), size, result.data(), length, nullptr, nullptr);
    return result;
}

}  // namespace

std::string utf8_of(std::wstring_view text) {
    return narrow(CP_UTF8, text);
}

std::string ansi_of(std::wstring_view text) {
    return narrow(CP_ACP, text);
}

std::wstring wide_of_ansi(const char* text) {
    if (!text || !*text)
        return {};
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, result.data(), length);
    result.resize(result.size() - 1);  // the terminator
    return result;
}

std::string hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lX", value);
    return text;
}

std::string guid_text(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string error_name(DWORD error) {
    struct named {
        DWORD code;
        const char* name;
    };
    static const named names[] = {
#define SIM_NAME(code) {code, #code}
        SIM_NAME(ERROR_SUCCESS),
        SIM_NAME(ERROR_FILE_NOT_FOUND),
        SIM_NAME(ERROR_ACCESS_DENIED),
        SIM_NAME(ERROR_INVALID_HANDLE),
        SIM_NAME(ERROR_NOT_ENOUGH_MEMORY),
        SIM_NAME(ERROR_INVALID_DATA),
        SIM_NAME(ERROR_SHARING_VIOLATION),
        SIM_NAME(ERROR_NOT_SUPPORTED),
        SIM_NAME(ERROR_INVALID_PARAMETER),
        SIM_NAME(ERROR_CALL_NOT_IMPLEMENTED),
        SIM_NAME(ERROR_INSUFFICIENT_BUFFER),
        SIM_NAME(ERROR_MORE_DATA),
        SIM_NAME(ERROR_NO_MORE_ITEMS),
        SIM_NAME(ERROR_INVALID_FLAGS),
        SIM_NAME(ERROR_NOT_FOUND),
        SIM_NAME(ERROR_INVALID_USER_BUFFER),
        SIM_NAME(ERROR_KEY_DOES_NOT_EXIST),
        SIM_NAME(ERROR_INVALID_REG_PROPERTY),
        SIM_NAME(ERROR_NO_SUCH_DEVINST),
        SIM_NAME(ERROR_INF_IN_USE_BY_DEVICES),
#undef SIM_NAME
    };
    for (const named& n : names) {
        if (n.code == error)
            return n.name;
    }
    return "error " + hex(error);
}

std::string cr_name(CONFIGRET result) {
    switch (result) {
#define SIM_NAME(code) \
    case code:         \
        return #code;
        SIM_NAME(CR_SUCCESS)
        SIM_NAME(CR_INVALID_POINTER)
        SIM_NAME(CR_INVALID_FLAG)
        SIM_NAME(CR_INVALID_DEVNODE)
        SIM_NAME(CR_NO_SUCH_DEVNODE)
        SIM_NAME(CR_FAILURE)
        SIM_NAME(CR_BUFFER_SMALL)
        SIM_NAME(CR_INVALID_DEVICE_ID)
#undef SIM_NAME
    }
    return "CR " + hex(result);
}

}  // namespace sim
