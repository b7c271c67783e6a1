#include "devices/enumeration.h"

#include <windows.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/device_id.h"
#include "base/log.h"
#include "win/busy_marker.h"
#include "win/handles.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"
#include "win/windows_error.h"
#include "win/windows_version.h"

namespace {

const char* const kCaller = "usbdrv_create_list";

// DEVPKEY_Device_BusReportedDeviceDesc: the description the device reports itself.
const DEVPROPKEY kBusReportedDeviceDesc = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};

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

// The system fills up to 256 bytes of an ANSI property and up to 24 of a driver version; one
// more byte, never given to the system, keeps a terminator after a value that fills its 256 or
// 24 bytes without one of its own.
constexpr DWORD kPropertyBytes = 256;
constexpr DWORD kDriverVersionBytes = 24;
using property_buffer = char[kPropertyBytes + 1];
using driver_version_buffer = char[kDriverVersionBytes + 1];

// A registry property as ANSI text; the buffer holds an empty text when the property cannot be
// read. Multi-strings leave their first text in front.
bool read_property(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, property_buffer& buffer) {
    memset(buffer, 0, sizeof buffer);
    bool ok = imports.SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr,
                                                        reinterpret_cast<BYTE*>(buffer),
                                                        kPropertyBytes, nullptr) != FALSE;
    if (!ok)
        buffer[0] = '\0';
    return ok;
}

// Copies a text onto the library's heap; false when memory ran out.
bool copy_text(char*& field, const char* text) {
    field = strdup(text);
    return field != nullptr;
}

// What the steps make of one device: an entry so far kept, nothing (skipped), or a failure.
enum class outcome { kept, skipped, out_of_memory };

// One device of the set, as the steps read it.
struct device_in_set {
    HDEVINFO set;
    SP_DEVINFO_DATA* device;
    int index;  // in the enumeration, skipped devices included
    const usbdrv_list_options* options;

    bool wants_with_driver() const { return options && options->include_with_driver; }
    bool wants_hubs() const { return options && options->include_hubs; }
};

enum class service_kind { other, hub, composite_parent };

// A device with a driver is left out unless asked for; its driver key's "DriverVersion" goes to
// version_text (empty when it cannot be read).
outcome read_driver_version_text(const device_in_set& d, driver_version_buffer& version_text) {
    memset(version_text, 0, sizeof version_text);
    property_buffer driver;
    if (!read_property(d.set, d.device, SPDRP_DRIVER, driver))
        return outcome::kept;
    if (!d.wants_with_driver())
        return outcome::skipped;
    unique_registry_key key(
        imports.SetupDiOpenDevRegKey(d.set, d.device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ));
    if (!key)
        return outcome::kept;
    DWORD type = 0, size = kDriverVersionBytes;
    if (imports.RegQueryValueExA.call_or(ERROR_PROC_NOT_FOUND, key.get(), "DriverVersion", nullptr,
                                         &type, reinterpret_cast<BYTE*>(version_text),
                                         &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        version_text[0] = '\0';
    }
    return outcome::kept;
}

// The service becomes the driver name; hubs and composite parents are left out unless asked for.
outcome read_service(const device_in_set& d, usbdrv_device_entry& entry, service_kind& kind) {
    property_buffer service;
    if (read_property(d.set, d.device, SPDRP_SERVICE, service) &&
        !copy_text(entry.driver_name, service)) {
        return outcome::out_of_memory;
    }
    kind = is_hub_service(service)                ? service_kind::hub
           : is_composite_parent_service(service) ? service_kind::composite_parent
                                                  : service_kind::other;
    if (kind != service_kind::other && !d.wants_hubs())
        return outcome::skipped;
    return outcome::kept;
}

// The first text of a list property. The system refuses to cut a list that does not fit the
// buffer, and a device may well list more than 256 bytes of IDs (long compatible forms, filters):
// the list is then read whole and its first text kept, when that fits the buffer. Without this
// such a device would lose its hardware ID and get its package without one.
bool read_first_of_list(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property,
                        property_buffer& buffer) {
    if (read_property(set, device, property, buffer))
        return true;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    DWORD needed = 0;
    imports.SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr, nullptr, 0, &needed);
    if (needed == 0)
        return false;
    std::vector<char> list(needed + 2, '\0');  // two terminators even for a list without them
    if (!imports.SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr,
                                                   reinterpret_cast<BYTE*>(list.data()), needed,
                                                   nullptr)) {
        return false;
    }
    size_t first = strlen(list.data());
    if (first >= kPropertyBytes)
        return false;
    memcpy(buffer, list.data(), first + 1);
    return true;
}

// The first hardware ID, the first compatible ID and the first upper filter.
outcome read_ids(const device_in_set& d, usbdrv_device_entry& entry) {
    property_buffer buffer;
    if (read_first_of_list(d.set, d.device, SPDRP_HARDWAREID, buffer)) {
        usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "Hardware ID: %s", buffer);
    } else {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not get hardware ID");
    }
    if (!copy_text(entry.hardware_id, buffer))
        return outcome::out_of_memory;

    if (read_first_of_list(d.set, d.device, SPDRP_COMPATIBLEIDS, buffer)) {
        usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "Compatible ID: %s", buffer);
    }
    if (!copy_text(entry.compatible_id, buffer))
        return outcome::out_of_memory;

    if (read_first_of_list(d.set, d.device, SPDRP_UPPERFILTERS, buffer)) {
        usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "Upper filter: %s", buffer);
        if (!copy_text(entry.upper_filter, buffer))
            return outcome::out_of_memory;
    }
    return outcome::kept;
}

void set_driver_version(usbdrv_device_entry& entry, const char* version_text) {
    entry.driver_version = 0;
    if (version_text[0]) {
        usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "Driver version: %s", version_text);
        entry.driver_version = parse_driver_version(version_text);
    } else if (entry.driver_name) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "could not read driver version");
    }
}

// The device instance ID; a device without one is left out.
outcome read_instance_id(const device_in_set& d, usbdrv_device_entry& entry,
                         char (&device_id)[256]) {
    memset(device_id, 0, sizeof device_id);
    CONFIGRET cr =
        imports.CM_Get_Device_IDA.get(kCaller)(d.device->DevInst, device_id, sizeof device_id, 0);
    if (cr != CR_SUCCESS) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "could not retrieve simple path for device %d: CR error %d", d.index, (int)cr);
        return outcome::skipped;
    }
    device_id[sizeof device_id - 1] = '\0';
    usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "%s USB device (%d): %s",
               entry.driver_name ? entry.driver_name : "Driverless", d.index, device_id);
    if (!copy_text(entry.device_id, device_id))
        return outcome::out_of_memory;
    return outcome::kept;
}

// The description the device reports itself (from Windows 7 on), else the one its driver
// setup gave it, else a generated "Unknown Device #<n>". The system gets the whole buffer: its
// texts come with their terminator, so a description of 255 units fills it exactly; the last unit
// is made a terminator in case a registry text came without one.
void read_description(const device_in_set& d, int& unknown_counter,
                      wchar_t (&description)[kDescriptionUnits]) {
    memset(description, 0, sizeof description);
    auto terminated = [&](bool ok) {
        description[kDescriptionUnits - 1] = 0;
        return ok;
    };
    // The error is read right at the failing call, for the log line.
    auto read_device_desc = [&](DWORD& error) {
        bool ok = imports.SetupDiGetDeviceRegistryPropertyW(
                      d.set, d.device, SPDRP_DEVICEDESC, nullptr,
                      reinterpret_cast<BYTE*>(description), sizeof description, nullptr) != FALSE;
        error = ok ? ERROR_SUCCESS : GetLastError();
        return terminated(ok);
    };
    auto name_unknown = [&](int level, DWORD error) {
        LOG_SYSTEM_ERROR(level, kCaller, error, "could not read device description for %d: %s",
                         d.index);
        set_description(description, unknown_device_name(unknown_counter));
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
        if (terminated(get_property(d.set, d.device, &kBusReportedDeviceDesc, &type,
                                    reinterpret_cast<BYTE*>(description), sizeof description,
                                    nullptr, 0))) {
            return;
        }
        memset(description, 0, sizeof description);
        if (!read_device_desc(error))
            name_unknown(USBDRV_LOG_DEBUG, error);
    } else if (!read_device_desc(error)) {
        name_unknown(USBDRV_LOG_WARNING, error);
    }
}

// The description as UTF-8 (null when empty), trimmed when asked.
void store_description(const device_in_set& d, usbdrv_device_entry& entry,
                       const wchar_t* description) {
    entry.description = utf16_to_utf8(description);  // null for an empty text
    if (entry.description && d.options && d.options->trim_trailing_space) {
        trim_trailing_space(entry.description);
    }
    usbdrv_log(USBDRV_LOG_DEBUG, kCaller, "Device description: '%s'",
               entry.description ? entry.description : "(null)");
}

// One device, step by step; the entry goes to result when the device is listed.
outcome read_device(const device_in_set& d, int& unknown_counter, unique_entry& result) {
    unique_entry entry(static_cast<usbdrv_device_entry*>(calloc(1, sizeof(usbdrv_device_entry))));
    if (!entry)
        return outcome::out_of_memory;

    driver_version_buffer version_text;
    if (outcome o = read_driver_version_text(d, version_text); o != outcome::kept)
        return o;
    service_kind service = service_kind::other;
    if (outcome o = read_service(d, *entry, service); o != outcome::kept)
        return o;
    if (outcome o = read_ids(d, *entry); o != outcome::kept)
        return o;
    set_driver_version(*entry, version_text);
    char device_id[256];
    if (outcome o = read_instance_id(d, *entry, device_id); o != outcome::kept)
        return o;

    wchar_t description[kDescriptionUnits];
    read_description(d, unknown_counter, description);
    device_id_fields ids = read_device_id(device_id, kCaller, description);
    entry->vid = ids.vid;
    entry->pid = ids.pid;
    entry->is_interface = ids.is_interface;
    entry->interface_number = ids.interface_number;
    // The host controllers' root hubs carry no VID.
    if (service == service_kind::hub && !ids.has_vid)
        return outcome::skipped;
    if (service == service_kind::composite_parent)
        append_description_suffix(description, composite_parent_suffix());
    store_description(d, *entry, description);

    result = std::move(entry);
    return outcome::kept;
}

}  // namespace

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
    busy_marker busy(kListingMarker);
    if (usbdrv_result r = busy.state())
        return r;

    *list = nullptr;
    if (!init_dlls())
        return USBDRV_ERR_RESOURCE;

    unique_device_info_set set(
        imports.SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!set)
        return USBDRV_ERR_NO_DEVICE;

    entry_list entries;
    int unknown_counter = 1;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; imports.SetupDiEnumDeviceInfo(set.get(), index, &device); index++) {
        unique_entry entry;
        switch (read_device({set.get(), &device, (int)index, options}, unknown_counter, entry)) {
            case outcome::kept:
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
    busy_marker busy(kListDestructionMarker);
    if (usbdrv_result r = busy.state())
        return r;
    release_entries(list);
    return USBDRV_OK;
}
