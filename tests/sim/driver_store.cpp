#include "driver_store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <optional>
#include <set>
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

namespace {

// The ports class: usbser binds a device there.
constexpr const char* kPortsClass = "{4d36e978-e325-11ce-bfc1-08002be10318}";

// A driver key name of its own for a device of this machine: stable across reinstalls and
// far from the small numbers the system and the scenarios use.
std::string driver_key_for(const std::string& instance) {
    const uint64_t hash = stable_hash(utf8_of(state_key_path()) + "|" + id_key(instance));
    char number[8];
    std::snprintf(number, sizeof number, "%04u", static_cast<unsigned>(2000 + hash % 7000));
    return std::string(kPortsClass) + "\\" + number;
}

}  // namespace

std::string inf_text(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::wstring wide((bytes.size() - 2) / 2, L'\0');
        std::memcpy(wide.data(), bytes.data() + 2, wide.size() * sizeof(wchar_t));
        return utf8_of(wide);
    }
    return utf8_of(wide_of_ansi(bytes.c_str()));
}

std::vector<std::string> bind_devices(const std::vector<const device*>& devices,
                                      const inf_facts& facts, const std::string& inf_name,
                                      bool need_restart) {
    std::vector<std::string> bound;
    device_states states = read_device_states();
    for (const device* d : devices) {
        device_state& state = states[id_key(d->instance)];
        state.service = facts.service.value_or("usbser");
        if (!state.driver)
            state.driver = driver_key_for(d->instance);
        if (facts.driver_version)
            state.driver_version = facts.driver_version;
        state.provider_name = facts.provider;
        if (!state.port_name)
            state.port_name = next_port_name(states);
        state.inf_name = inf_name;
        // Once a restart is due it stays due, whatever installs after it, until the restart
        // (a new machine state).
        state.need_restart = state.need_restart || need_restart;
        if (write_device_state(d->instance, state) == ERROR_SUCCESS)
            bound.push_back(d->instance);
    }
    return bound;
}

bool in_driver_store(const std::string& inf_name) {
    const std::wstring path = inf_folder() + L"\\" + widen(inf_name);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> find_removed_devices(const machine& file_machine,
                                              const std::string& node) {
    std::vector<std::string> found;
    const bool whole_tree = same_id(node, kRootInstance);
    // Most scans find nothing: they need not wait for an installation of another process.
    bool any_removed = false;
    for (const auto& [id, state] : read_device_states())
        any_removed = any_removed || state.removed;
    if (!any_removed)
        return found;
    install_lock install;
    const device_states states = read_device_states();
    for (const device& d : file_machine.devices) {
        auto state = states.find(id_key(d.instance));
        if (state == states.end() || !state->second.removed || !d.present)
            continue;
        if (!whole_tree && !(d.parent && same_id(*d.parent, node)))
            continue;
        const std::optional<std::string> package = state->second.removed_inf;
        std::string read_error;
        std::optional<std::string> bytes;
        if (package && in_driver_store(*package))
            bytes = read_file(inf_folder() + L"\\" + widen(*package), read_error);
        // Known again as the file gives it; then bound to what the store still holds.
        if (delete_device_state(d.instance) != ERROR_SUCCESS)
            continue;
        if (bytes)
            bind_devices({&d}, read_inf_facts(inf_text(*bytes)), *package, false);
        found.push_back(d.instance);
    }
    return found;
}

void serve_plugged_in_devices(const machine& file_machine) {
    std::vector<std::string> present;
    for (const device& d : file_machine.devices) {
        if (d.present)
            present.push_back(id_key(d.instance));
    }
    const std::optional<std::vector<std::string>> before = read_present_devices();
    if (!before || *before != present)
        write_present_devices(present);
    if (!before)
        return;
    const std::set<std::string> had(before->begin(), before->end());
    const device_states states = read_device_states();
    std::vector<const device*> plugged_in;
    for (const device& d : file_machine.devices) {
        if (d.present && !had.count(id_key(d.instance)) && !d.service &&
            !states.count(id_key(d.instance)))
            plugged_in.push_back(&d);
    }
    if (plugged_in.empty())
        return;

    install_lock install;
    // The store's packages, newest first.
    std::vector<std::pair<unsigned long, std::wstring>> names;
    WIN32_FIND_DATAW found;
    unique_find search(FindFirstFileW((inf_folder() + L"\\oem*.inf").c_str(), &found));
    for (bool more = static_cast<bool>(search); more; more = FindNextFileW(search.get(), &found))
        names.emplace_back(wcstoul(found.cFileName + 3, nullptr, 10), found.cFileName);
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return a > b; });
    std::vector<std::pair<std::string, inf_facts>> packages;
    for (const auto& [number, name] : names) {
        std::string error;
        std::optional<std::string> bytes = read_file(inf_folder() + L"\\" + name, error);
        if (bytes)
            packages.emplace_back(utf8_of(name), read_inf_facts(inf_text(*bytes)));
    }
    for (const device* d : plugged_in) {
        const std::pair<std::string, inf_facts>* best = nullptr;
        std::size_t best_rank = 0;
        for (const auto& package : packages) {
            std::optional<std::size_t> rank = match_rank(*d, package.second);
            if (rank && (!best || *rank < best_rank)) {
                best = &package;
                best_rank = *rank;
            }
        }
        if (!best) {
            journal({"PlugAndPlay", d->instance, "no package"});
            continue;
        }
        bool bound = !bind_devices({d}, best->second, best->first, false).empty();
        journal({"PlugAndPlay", d->instance, bound ? "ok " + best->first : "error " + best->first});
    }
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
