#include "e2e_fixture.h"

#include <tlhelp32.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "base/log.h"
#include "restore_record.h"

namespace e2e {

namespace fs = std::filesystem;

const char kSerialA[] = "USB\\VID_C04A&PID_0C0E&MI_00\\7&3A4B5C6&0&0000";
const char kSerialAHardwareId[] = "USB\\VID_C04A&PID_0C0E&REV_0100&MI_00";

namespace {

const char kSettingsKey[] = "Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Settings";
const char kRestoreValue[] = "DisableSystemRestore";

usbdrv_result prepare_serial_a(const std::string& dir) {
    usbdrv_device_entry device = {};
    device.vid = 0xC04A;
    device.pid = 0x0C0E;
    device.is_interface = 1;
    device.interface_number = 0;
    char description[] = "Corvane Twin Serial A";
    device.description = description;
    usbdrv_prepare_options options = {};
    options.driver_type = USBDRV_DRIVER_CDC;
    options.no_catalog = 1;
    return usbdrv_prepare_driver(&device, dir.c_str(), "Corvane.inf", &options);
}

}  // namespace

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

testing::AssertionResult logged_in_order(const std::string& log, const strings& in_order) {
    size_t at = 0;
    for (const std::string& text : in_order) {
        size_t found = log.find(text, at);
        if (found == std::string::npos)
            return testing::AssertionFailure() << "'" << text << "' missing or out of order";
        at = found + text.size();
    }
    return testing::AssertionSuccess();
}

const prepared_package& prepared_package::get() {
    static std::unique_ptr<prepared_package> package(new prepared_package);
    return *package;
}

prepared_package::prepared_package() : result_(prepare_serial_a(dir_.utf8())) {}

usbdrv_result prepared_package::prepare_again() const {
    return prepare_serial_a(dir());
}

board_machine::board_machine(const std::string& name)
    : state_name_("e2e " + name + " " + std::to_string(GetCurrentProcessId())),
      state_("CORVANE_SIM_STATE", state_name_),
      journal_("CORVANE_SIM_JOURNAL", test::utf8(journal_path())) {
    reset();
}

board_machine::~board_machine() {
    reset();
}

void board_machine::use(const std::string& sections) {
    machine_.set(read_text(test::from_utf8(test::shipped_scenario("two-cdc-board.scn"))) + "\n" +
                 sections);
}

void board_machine::reset() {
    RegDeleteTreeA(HKEY_CURRENT_USER, state_key().c_str());
}

std::string board_machine::state_key() const {
    return "Software\\Corvane\\Simulation\\" + state_name_;
}

std::string board_machine::settings_key() const {
    return state_key() + "\\Group Policy\\Machine\\" + kSettingsKey;
}

std::vector<strings> board_machine::calls(const char* function) const {
    return test::journal_calls(journal_path(), function);
}

void board_machine::forget_journal() {
    DeleteFileW(journal_path().c_str());
}

std::optional<DWORD> board_machine::restore_setting() const {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_CURRENT_USER, settings_key().c_str(), kRestoreValue, RRF_RT_REG_DWORD,
                     nullptr, &value, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

void board_machine::preset_restore_setting(std::optional<DWORD> value) const {
    unique_hkey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, settings_key().c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    if (!value) {
        RegDeleteValueA(key.get(), kRestoreValue);
        return;
    }
    ASSERT_EQ(RegSetValueExA(key.get(), kRestoreValue, 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&*value), sizeof *value),
              ERROR_SUCCESS);
}

std::optional<board_machine::listed> board_machine::list_entry(const char* instance) {
    usbdrv_list_options options = {1, 0, 0};
    usbdrv_device_entry* list = nullptr;
    if (usbdrv_create_list(&list, &options) != USBDRV_OK)
        return std::nullopt;
    std::optional<listed> found;
    for (usbdrv_device_entry* e = list; e; e = e->next) {
        if (e->device_id && _stricmp(e->device_id, instance) == 0)
            found = listed{e->driver_name ? e->driver_name : "", e->driver_version};
    }
    usbdrv_destroy_list(list);
    return found;
}

serial_a::serial_a() {
    entry.device_id = &device_id[0];
    entry.hardware_id = &hardware_id[0];
}

test::install_outcome install_serial_a(const usbdrv_install_options* options) {
    serial_a device;
    return test::install(prepared_package::get().dir().c_str(), &device.entry, options);
}

std::optional<DWORD> restore_record() {
    unique_hkey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRestoreRecordKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key.get(), kRestoreRecordValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return type == REG_NONE ? kNoRecordedValue : value;
}

void forget_restore_record() {
    unique_hkey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRestoreRecordKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                      key.put()) == ERROR_SUCCESS) {
        RegDeleteValueA(key.get(), kRestoreRecordValue);
    }
}

locked_log::locked_log() : saved_threshold_(usbdrv_log_threshold) {
    usbdrv_set_log_threshold(USBDRV_LOG_DEBUG);
    usbdrv_set_log_sink(&locked_log::take, this);
}

locked_log::~locked_log() {
    usbdrv_set_log_sink(nullptr, nullptr);
    usbdrv_set_log_threshold(saved_threshold_);
}

void locked_log::take(int, const char* line, void* context) {
    auto& log = *static_cast<locked_log*>(context);
    critical_section_lock hold(log.lock_);
    Sleep(1);  // a file's open, append and close
    log.lines_.push_back(line);
}

std::string locked_log::text() const {
    critical_section_lock hold(lock_);
    std::string text;
    for (const std::string& line : lines_)
        text += line + "\n";
    return text;
}

size_t locked_log::lines() const {
    critical_section_lock hold(lock_);
    return lines_.size();
}

bool locked_log::wait_for(const std::string& text, DWORD timeout_ms) const {
    const DWORD start = GetTickCount();
    while (!has(text)) {
        if (GetTickCount() - start >= timeout_ms)
            return false;
        Sleep(20);
    }
    return true;
}

unique_process running_helper() {
    HANDLE taken = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (taken == INVALID_HANDLE_VALUE)
        return {};
    unique_handle snapshot(taken);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, L"installer_x64.exe") == 0) {
            return unique_process(
                OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                            entry.th32ProcessID));
        }
    }
    return {};
}

namespace {

DWORD WINAPI flood(void* argument) {
    auto& running = *static_cast<std::atomic<bool>*>(argument);
    wchar_t windir[MAX_PATH] = {};
    GetEnvironmentVariableW(L"WINDIR", windir, MAX_PATH);
    const std::wstring path = std::wstring(windir) + L"\\inf\\setupapi.dev.log";
    unique_file_handle log(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    const char line[] = "     flood: a line for the relay\r\n";
    while (running) {
        DWORD written = 0;
        if (log)
            WriteFile(log.get(), line, sizeof line - 1, &written, nullptr);
        Sleep(1);
    }
    return 0;
}

}  // namespace

setup_log_flood::setup_log_flood()
    : thread_(CreateThread(nullptr, 0, flood, &running_, 0, nullptr)) {}

setup_log_flood::~setup_log_flood() {
    running_ = false;
    if (thread_)
        WaitForSingleObject(thread_.get(), INFINITE);
}

hang_guard::hang_guard(const char* what, DWORD timeout_ms)
    : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      what_(what),
      timeout_ms_(timeout_ms),
      thread_(CreateThread(nullptr, 0, &hang_guard::watch, this, 0, nullptr)) {}

hang_guard::~hang_guard() {
    SetEvent(done_.get());
    if (thread_)
        WaitForSingleObject(thread_.get(), INFINITE);
}

// A hung thread may hold a lock the test's own clean-up needs: the program ends at once.
DWORD WINAPI hang_guard::watch(void* guard) {
    const hang_guard& self = *static_cast<hang_guard*>(guard);
    if (WaitForSingleObject(self.done_.get(), self.timeout_ms_) == WAIT_OBJECT_0)
        return 0;
    const std::string text = "hung: " + self.what_ + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}

}  // namespace e2e
