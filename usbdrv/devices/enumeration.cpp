#include "enumeration.h"

#include <windows.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "device_id.h"
#include "handles.h"
#include "log.h"
#include "runtime_imports.h"
#include "scan_string.h"
#include "utf8.h"
#include "windows_error.h"
#include "windows_version.h"

namespace {

const char* const kCaller = "usbdrv_create_list";

// DEVPKEY_Device_BusReportedDeviceDesc: the description the device reports itself.
const DEVPROPKEY kBusReportedDeviceDesc = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};

// The machine-wide busy marker of one library call: a named mutex that exists while the call
// runs. A second call anywhere fails at once instead of waiting. Closing the handle ends the
// marker; the mutex is a marker, not a lock, so it is never released with ReleaseMutex.
class busy_marker {
public:
    explicit busy_marker(const char* function) {
        char name[64];
        snprintf(name, sizeof name, "Global\\%s", function);
        HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
        DWORD error = GetLastError();
        mutex_.reset(mutex);
        already_running_ = mutex_ && error == ERROR_ALREADY_EXISTS;
    }
    // USBDRV_OK when this call may go on.
    usbdrv_result state() const {
        if (!mutex_)
            return USBDRV_ERR_RESOURCE;
        return already_running_ ? USBDRV_ERR_BUSY : USBDRV_OK;
    }

private:
    unique_mutex mutex_;
    bool already_running_ = false;
};

// The list under construction; released whole unless handed over.
void release_entries(usbdrv_device_entry* entry) {
    while (entry) {
        usbdrv_device_entry* next = entry->next;
        free_device_entry(entry);
        entry = next;
    }
}

class entry_list {
public:
    ~entry_list() { release_entries(head_); }
    void append(usbdrv_device_entry* entry) {
        if (tail_) {
            tail_->next = entry;
        } else {
            head_ = entry;
        }
        tail_ = entry;
    }
    usbdrv_device_entry* release() {
        usbdrv_device_entry* head = head_;
        head_ = tail_ = nullptr;
        return head;
    }

private:
    usbdrv_device_entry* head_ = nullptr;
    usbdrv_device_entry* tail_ = nullptr;
};

struct entry_deleter {
    void operator()(usbdrv_device_entry* entry) const { free_device_entry(entry); }
};
using unique_entry = std::unique_ptr<usbdrv_device_entry, entry_deleter>;

// A registry property as ANSI text into a 256-byte buffer; the buffer holds an empty text when
// the property cannot be read. Multi-strings leave their first text in front.
bool read_property(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, char (&buffer)[256]) {
    memset(buffer, 0, sizeof buffer);
    bool ok = SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr,
                                                reinterpret_cast<BYTE*>(buffer), sizeof buffer - 2,
                                                nullptr) != FALSE;
    if (!ok)
        buffer[0] = '\0';
    return ok;
}

// Copies a text onto the library's heap; false when memory ran out.
bool copy_text(char*& field, const char* text) {
    field = strdup(text);
    return field != nullptr;
}

void read_description(HDEVINFO set, SP_DEVINFO_DATA* device, int index, int& unknown_counter,
                      wchar_t (&description)[256]) {
    memset(description, 0, sizeof description);
    // The error is read right at the failing call, for the log line.
    auto read_device_desc = [&](DWORD& error) {
        bool ok = SetupDiGetDeviceRegistryPropertyW(
                      set, device, SPDRP_DEVICEDESC, nullptr, reinterpret_cast<BYTE*>(description),
                      sizeof description - sizeof(wchar_t), nullptr) != FALSE;
        error = ok ? ERROR_SUCCESS : GetLastError();
        return ok;
    };
    auto name_unknown = [&](int level, DWORD error) {
        log_system_error(level, kCaller, error, "could not read device description for %d: %s",
                         index);
        swprintf(description, 256, L"Unknown Device #%d", unknown_counter++);
    };

    DWORD error = ERROR_SUCCESS;
    if (windows_version == -1)
        detect_windows_version();
    if (windows_version >= 0x61) {
        auto get_property = imports.SetupDiGetDevicePropertyW.get_quietly();
        if (!get_property) {
            usbdrv_log(USBDRV_LOG_WARNING, kCaller,
                       "failed to locate SetupDiGetDevicePropertyW() in Setupapi.dll");
            return;
        }
        DEVPROPTYPE type = 0;
        if (get_property(set, device, &kBusReportedDeviceDesc, &type,
                         reinterpret_cast<BYTE*>(description), sizeof description - sizeof(wchar_t),
                         nullptr, 0)) {
            return;
        }
        memset(description, 0, sizeof description);
        if (!read_device_desc(error))
            name_unknown(USBDRV_LOG_DEBUG, error);
    } else if (!read_device_desc(error)) {
        name_unknown(USBDRV_LOG_WARNING, error);
    }
}

// Appends a suffix when the description's length plus room stays below the buffer's 256 units.
void append_if_room(wchar_t (&description)[256], size_t room, const wchar_t* suffix) {
    size_t length = wcslen(description);
    if (length + room < 256)
        wcsncat(description, suffix, 255 - length);
}

// What steps 5 to 21 make of one device: an entry, nothing (skipped), or a failure.
enum class outcome { listed, skipped, out_of_memory };

outcome read_device(HDEVINFO set, SP_DEVINFO_DATA* device, int index,
                    const usbdrv_list_options* options, int& unknown_counter,
                    unique_entry& result) {
    unique_entry entry(static_cast<usbdrv_device_entry*>(calloc(1, sizeof(usbdrv_device_entry))));
    if (!entry)
        return outcome::out_of_memory;

    char version_text[24] = {};
    char buffer[256];
    if (read_property(set, device, SPDRP_DRIVER, buffer)) {
        if (!options || !options->include_with_driver)
            return outcome::skipped;
        unique_hkey key(
            SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ));
        if (key) {
            DWORD type = 0, size = sizeof version_text - 1;
            if (RegQueryValueExA(key.get(), "DriverVersion", nullptr, &type,
                                 reinterpret_cast<BYTE*>(version_text), &size) != ERROR_SUCCESS ||
                type != REG_SZ) {
                version_text[0] = '\0';
            }
            version_text[sizeof version_text - 1] = '\0';
        }
    }

    char service[256];
    if (read_property(set, device, SPDRP_SERVICE, service) &&
        !copy_text(entry->driver_name, service)) {
        return outcome::out_of_memory;
    }
    bool hub = is_hub_service(service);
    if (hub && (!options || !options->include_hubs))
        return outcome::skipped;
    bool composite_parent = is_composite_parent_service(service);
    if (composite_parent && (!options || !options->include_hubs))
        return outcome::skipped;

    if (read_property(set, device, SPDRP_HARDWAREID, buffer)) {
        usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "Hardware ID: %s", buffer);
    } else {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not get hardware ID");
    }
    if (!copy_text(entry->hardware_id, buffer))
        return outcome::out_of_memory;

    if (read_property(set, device, SPDRP_COMPATIBLEIDS, buffer)) {
        usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "Compatible ID: %s", buffer);
    }
    if (!copy_text(entry->compatible_id, buffer))
        return outcome::out_of_memory;

    if (read_property(set, device, SPDRP_UPPERFILTERS, buffer)) {
        usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "Upper filter: %s", buffer);
        if (!copy_text(entry->upper_filter, buffer))
            return outcome::out_of_memory;
    }

    entry->driver_version = 0;
    if (version_text[0]) {
        usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "Driver version: %s", version_text);
        entry->driver_version = parse_driver_version(version_text);
    } else if (entry->driver_name) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "could not read driver version");
    }

    char device_id[256] = {};
    CONFIGRET cr =
        imports.CM_Get_Device_IDA.get(kCaller)(device->DevInst, device_id, sizeof device_id, 0);
    if (cr != CR_SUCCESS) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "could not retrieve simple path for device %d: CR error %d", index, (int)cr);
        return outcome::skipped;
    }
    device_id[sizeof device_id - 1] = '\0';
    usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "%s USB device (%d): %s",
               entry->driver_name ? entry->driver_name : "Driverless", index, device_id);
    if (!copy_text(entry->device_id, device_id))
        return outcome::out_of_memory;

    wchar_t description[256];
    read_description(set, device, index, unknown_counter, description);

    entry->is_interface = 0;
    entry->interface_number = 0;
    bool has_vid = false;
    const char* cursor = device_id;
    char piece[256];
    while (next_id_piece(cursor, piece, sizeof piece)) {
        unsigned value = 0;
        if (strncmp(piece, "VID_", 4) == 0) {
            if (scan_string(piece, "VID_%04X", &value) == 1) {
                entry->vid = (uint16_t)value;
            } else {
                usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not convert VID string");
            }
            has_vid = true;
        } else if (strncmp(piece, "PID_", 4) == 0) {
            if (scan_string(piece, "PID_%04X", &value) == 1) {
                entry->pid = (uint16_t)value;
            } else {
                usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not convert PID string");
            }
        } else if (strncmp(piece, "MI_", 3) == 0) {
            if (scan_string(piece, "MI_%02X", &value) == 1) {
                entry->is_interface = 1;
                entry->interface_number = (uint8_t)value;
                wchar_t suffix[32];
                swprintf(suffix, 32, L" (Interface %d)", entry->interface_number);
                append_if_room(description, 17, suffix);
            } else {
                usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not convert MI string");
            }
        }
    }
    // The host controllers' root hubs carry no VID.
    if (hub && !has_vid)
        return outcome::skipped;
    if (composite_parent)
        append_if_room(description, 20, L" (Composite Parent)");

    entry->description = utf16_to_utf8(description);  // null for an empty text
    if (entry->description && options && options->trim_trailing_space) {
        trim_trailing_space(entry->description);
    }
    usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "Device description: '%s'",
               entry->description ? entry->description : "(null)");

    result = std::move(entry);
    return outcome::listed;
}

}  // namespace

bool init_dlls() {
    // Atomic like the import slots it checks: the dialog's timer and a command's worker may ask
    // at the same time.
    static std::atomic<bool> ready{false};
    if (ready)
        return true;
    if (!imports.CM_Get_Parent.get("init_dlls") || !imports.CM_Get_Child.get("init_dlls") ||
        !imports.CM_Get_Sibling.get("init_dlls") || !imports.CM_Get_Device_IDA.get("init_dlls") ||
        !imports.CMP_WaitNoPendingInstallEvents.get("init_dlls")) {
        return false;
    }
    ready = true;
    return true;
}

// The release function of the public record, which the owners above call: its texts and the
// record are the caller's heap blocks, given back by hand here once.
void free_device_entry(usbdrv_device_entry* entry) {
    if (!entry)
        return;
    free(entry->description);
    free(entry->driver_name);
    free(entry->device_id);
    free(entry->hardware_id);
    free(entry->compatible_id);
    free(entry->upper_filter);
    free(entry);
}

usbdrv_result usbdrv_create_list(usbdrv_device_entry** list, const usbdrv_list_options* options) {
    if (!list) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "no list to fill");
        return USBDRV_ERR_INVALID_PARAM;
    }
    busy_marker busy(kCaller);
    if (usbdrv_result r = busy.state())
        return r;

    *list = nullptr;
    if (!init_dlls())
        return USBDRV_ERR_RESOURCE;

    unique_device_info_set set(
        SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!set)
        return USBDRV_ERR_NO_DEVICE;

    entry_list entries;
    int unknown_counter = 1;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &device); index++) {
        unique_entry entry;
        switch (read_device(set.get(), &device, (int)index, options, unknown_counter, entry)) {
            case outcome::listed:
                entries.append(entry.release());
                break;
            case outcome::skipped:
                break;
            case outcome::out_of_memory:
                return USBDRV_ERR_RESOURCE;  // the entries so far go with `entries`
        }
        device.cbSize = sizeof device;
    }

    *list = entries.release();
    return *list ? USBDRV_OK : USBDRV_ERR_NO_DEVICE;
}

usbdrv_result usbdrv_destroy_list(usbdrv_device_entry* list) {
    busy_marker busy("usbdrv_destroy_list");
    if (usbdrv_result r = busy.state())
        return r;
    release_entries(list);
    return USBDRV_OK;
}
