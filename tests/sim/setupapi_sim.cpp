// setupapi.dll of the simulated machine (tests/sim/README.md): the device-listing and
// configuration-manager calls, answered from the scenario file. cfgmgr32.dll forwards its
// functions here, so both names share one machine.
//
// The prototypes are the SDK's own, so that a signature cannot drift from what programs call.
#define _SETUPAPI_
#define _CFGMGR32_
#include <windows.h>
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver_store.h"
#include "sim_state.h"
#include "win/handles.h"

namespace {

using sim::device;
using sim::journal;

// An HDEVINFO: the devices of one listing, kept as they were when it was made even if the
// scenario changes afterwards.
struct device_set {
    sim::machine_ptr machine;
    std::vector<const device*> devices;  // into *machine
};

// Guarded by sim::state_lock. The handle is the address of its set.
std::map<HDEVINFO, std::unique_ptr<device_set>> sets;

device_set* find_set(HDEVINFO handle) {
    auto found = sets.find(handle);
    return found == sets.end() ? nullptr : found->second.get();
}

HDEVINFO add_set(std::unique_ptr<device_set> set) {
    HDEVINFO handle = set.get();
    sets.emplace(handle, std::move(set));
    return handle;
}

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

std::string text_or_null(const std::wstring* text) {
    return text ? sim::utf8_of(*text) : "(null)";
}

// "{4d36e978-e325-11ce-bfc1-08002be10318}\0003" starts with the class of the device. A device
// without a driver key has no class (GUID_NULL).
GUID class_of(const device& d) {
    GUID guid = {};
    if (!d.driver || d.driver->size() < 38 || (*d.driver)[0] != '{' || (*d.driver)[37] != '}')
        return guid;
    const std::string& text = *d.driver;
    const int groups[] = {8, 4, 4, 4, 12};
    unsigned char bytes[16] = {};
    std::size_t at = 1;
    int byte = 0;
    for (int group = 0; group < 5; ++group) {
        for (int i = 0; i < groups[group]; i += 2, ++byte) {
            unsigned value = 0;
            for (int nibble = 0; nibble < 2; ++nibble) {
                const char c = text[at++];
                const int digit = (c >= '0' && c <= '9')   ? c - '0'
                                  : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                           : -1;
                if (digit < 0)
                    return GUID{};
                value = value * 16 + static_cast<unsigned>(digit);
            }
            bytes[byte] = static_cast<unsigned char>(value);
        }
        if (group < 4 && text[at++] != '-')
            return GUID{};
    }
    guid.Data1 = (static_cast<unsigned long>(bytes[0]) << 24) | (bytes[1] << 16) | (bytes[2] << 8) |
                 bytes[3];
    guid.Data2 = static_cast<unsigned short>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<unsigned short>((bytes[6] << 8) | bytes[7]);
    std::memcpy(guid.Data4, bytes + 8, 8);
    return guid;
}

// The device that a SP_DEVINFO_DATA filled by SetupDiEnumDeviceInfo names in its set.
const device* device_of(const device_set& set, const SP_DEVINFO_DATA* data, DWORD& error) {
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    const ULONG_PTR position = data->Reserved - 1;
    if (data->Reserved == 0 || position >= set.devices.size() ||
        sim::devinst_of(set.devices[position]->instance) != data->DevInst) {
        error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return set.devices[position];
}

// The device a call names by its list and record; null with the error when either is wrong.
const device* device_in(HDEVINFO handle, const SP_DEVINFO_DATA* data, DWORD& error) {
    const device_set* set = find_set(handle);
    if (!set) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return device_of(*set, data, error);
}

void fill(SP_DEVINFO_DATA& data, const device& d, std::size_t position) {
    data.ClassGuid = class_of(d);
    data.DevInst = sim::devinst_of(d.instance);
    data.Reserved = position + 1;
}

HDEVINFO get_class_devs(const char* function, const GUID* class_guid,
                        const std::wstring* enumerator, DWORD flags) {
    sim::machine_ptr machine;
    {
        sim::state_lock lock;
        machine = sim::refresh_machine();
    }
    // Outside the lock, so that the other threads of the process go on meanwhile.
    if (machine->enumeration_delay_ms)
        Sleep(machine->enumeration_delay_ms);

    sim::state_lock lock;
    auto set = std::make_unique<device_set>();
    set->machine = machine;
    const std::string wanted = enumerator ? sim::utf8_of(*enumerator) : std::string();
    const bool any_class = !class_guid || (flags & DIGCF_ALLCLASSES);
    // Device interfaces are not part of the simulated machine: such a listing is empty.
    if (!(flags & DIGCF_DEVICEINTERFACE)) {
        for (const device& d : machine->devices) {
            if (enumerator && !sim::same_id(sim::enumerator_of(d.instance), wanted))
                continue;
            if ((flags & DIGCF_PRESENT) && !d.present)
                continue;
            if (!any_class && !IsEqualGUID(class_of(d), *class_guid))
                continue;
            set->devices.push_back(&d);
        }
    }
    journal({function, text_or_null(enumerator), sim::hex(flags),
             "ok " + std::to_string(set->devices.size())});
    return add_set(std::move(set));
}

// Copies data to the caller's buffer, or tells its size. RequiredSize is in bytes.
bool answer_bytes(const std::vector<BYTE>& data, BYTE* buffer, DWORD buffer_size,
                  DWORD* required_size, DWORD& error) {
    if (required_size)
        *required_size = static_cast<DWORD>(data.size());
    if (!buffer && buffer_size) {
        error = ERROR_INVALID_USER_BUFFER;
        return false;
    }
    if (buffer_size < data.size()) {
        error = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    std::memcpy(buffer, data.data(), data.size());
    return true;
}

template <typename Char>
void append_text(std::vector<BYTE>& data, const std::basic_string<Char>& text) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    data.insert(data.end(), bytes, bytes + (text.size() + 1) * sizeof(Char));
}

// A registry property as its type and the strings it holds, in the process code page for the A
// functions and in UTF-16 for the W ones.
struct registry_property {
    const char* name;
    DWORD type;
    // The scenario key whose unreadable marks it. None for SPDRP_DRIVER: the driver key's
    // name stays readable when the key behind it is not.
    const char* key;
};

const registry_property* find_property(DWORD property) {
    static const std::map<DWORD, registry_property> properties = {
        {SPDRP_DEVICEDESC, {"SPDRP_DEVICEDESC", REG_SZ, "description"}},
        {SPDRP_HARDWAREID, {"SPDRP_HARDWAREID", REG_MULTI_SZ, "hardware_id"}},
        {SPDRP_COMPATIBLEIDS, {"SPDRP_COMPATIBLEIDS", REG_MULTI_SZ, "compatible_id"}},
        {SPDRP_SERVICE, {"SPDRP_SERVICE", REG_SZ, "service"}},
        {SPDRP_DRIVER, {"SPDRP_DRIVER", REG_SZ, nullptr}},
        {SPDRP_UPPERFILTERS, {"SPDRP_UPPERFILTERS", REG_MULTI_SZ, "upper_filter"}},
        {SPDRP_CONFIGFLAGS, {"SPDRP_CONFIGFLAGS", REG_DWORD, nullptr}},
    };
    auto found = properties.find(property);
    return found == properties.end() ? nullptr : &found->second;
}

// The texts of a property; none when the scenario does not give it.
std::vector<std::string> property_texts(const device& d, DWORD property) {
    auto one = [](const std::optional<std::string>& text) {
        return text ? std::vector<std::string>{*text} : std::vector<std::string>{};
    };
    switch (property) {
        case SPDRP_DEVICEDESC:
            return one(d.description);
        case SPDRP_HARDWAREID:
            return d.hardware_ids;
        case SPDRP_COMPATIBLEIDS:
            return d.compatible_ids;
        case SPDRP_SERVICE:
            return one(d.service);
        case SPDRP_DRIVER:
            return one(d.driver);
        case SPDRP_UPPERFILTERS:
            return d.upper_filters;
    }
    return {};
}

// The device-property keys the simulated machine knows. The ones with a registry property read
// the same data as it; devpkey.h would define the keys in every file that includes it.
struct device_property {
    DEVPROPKEY key;
    const char* name;
    DEVPROPTYPE type;
    bool has_registry_property;  // the bus-reported description has none
    DWORD registry_property;
    const char* scenario_key;  // whose unreadable marks it
};

const device_property* find_device_property(const DEVPROPKEY& key) {
    static const GUID device_fmtid = {
        0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}};
    static const GUID bus_fmtid = {
        0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}};
    static const device_property properties[] = {
        {{device_fmtid, 2},
         "DEVPKEY_Device_DeviceDesc",
         DEVPROP_TYPE_STRING,
         true,
         SPDRP_DEVICEDESC,
         "description"},
        {{device_fmtid, 3},
         "DEVPKEY_Device_HardwareIds",
         DEVPROP_TYPE_STRING_LIST,
         true,
         SPDRP_HARDWAREID,
         "hardware_id"},
        {{bus_fmtid, 4},
         "DEVPKEY_Device_BusReportedDeviceDesc",
         DEVPROP_TYPE_STRING,
         false,
         0,
         "bus_description"},
    };
    for (const device_property& p : properties) {
        if (IsEqualGUID(p.key.fmtid, key.fmtid) && p.key.pid == key.pid)
            return &p;
    }
    return nullptr;
}

template <typename Char>
BOOL get_registry_property(const char* function, HDEVINFO handle, PSP_DEVINFO_DATA data,
                           DWORD property, PDWORD type, PBYTE buffer, DWORD buffer_size,
                           PDWORD required_size) {
    sim::state_lock lock;
    DWORD error = ERROR_SUCCESS;
    const device* d = device_in(handle, data, error);
    const registry_property* info = find_property(property);
    const std::string property_name = info ? info->name : sim::hex(property);
    const std::string instance = d ? d->instance : "(none)";

    std::vector<BYTE> bytes;
    bool unmodelled = false;
    if (d) {
        const std::vector<std::string> texts =
            info ? property_texts(*d, property) : std::vector<std::string>{};
        if (property > SPDRP_MAXIMUM_PROPERTY) {
            error = ERROR_INVALID_REG_PROPERTY;
        } else if (!info) {
            // Not part of the simulated machine: the journal says so, and the answer is no
            // answer the system gives for a property it has.
            unmodelled = true;
            error = ERROR_NOT_SUPPORTED;
        } else if (info->type == REG_DWORD) {
            const DWORD flags = d->config_flags;
            const BYTE* raw = reinterpret_cast<const BYTE*>(&flags);
            bytes.assign(raw, raw + sizeof flags);
            if (type)
                *type = REG_DWORD;
            answer_bytes(bytes, buffer, buffer_size, required_size, error);
        } else if (texts.empty()) {
            error = ERROR_INVALID_DATA;
        } else if (info->key && d->is_unreadable(info->key)) {
            error = ERROR_ACCESS_DENIED;
        }
        if (error == ERROR_SUCCESS && info->type != REG_DWORD) {
            for (const std::string& text : texts) {
                if constexpr (sizeof(Char) == 1)
                    append_text(bytes, sim::ansi_of(sim::widen(text)));
                else
                    append_text(bytes, sim::widen(text));
            }
            if (info->type == REG_MULTI_SZ)
                append_text(bytes, std::basic_string<Char>());
            if (type)
                *type = info->type;
            answer_bytes(bytes, buffer, buffer_size, required_size, error);
        }
    }
    if (error == ERROR_SUCCESS) {
        journal({function, instance, property_name, "ok " + std::to_string(bytes.size())});
        return TRUE;
    }
    journal({function, instance, property_name,
             unmodelled ? "unmodelled"
                        : sim::error_name(error) + (error == ERROR_INSUFFICIENT_BUFFER
                                                        ? " " + std::to_string(bytes.size())
                                                        : "")});
    return fail(error);
}

template <typename Char>
BOOL get_instance_id(const char* function, HDEVINFO handle, PSP_DEVINFO_DATA data, Char* buffer,
                     DWORD buffer_size, PDWORD required_size) {
    sim::state_lock lock;
    DWORD error = ERROR_SUCCESS;
    const device* d = device_in(handle, data, error);
    std::basic_string<Char> id;
    if (d) {
        if constexpr (sizeof(Char) == 1)
            id = sim::ansi_of(sim::widen(d->instance));
        else
            id = sim::widen(d->instance);
        if (d->is_unreadable("instance")) {
            error = ERROR_ACCESS_DENIED;
        } else {
            if (required_size)
                *required_size = static_cast<DWORD>(id.size() + 1);
            if (!buffer && buffer_size)
                error = ERROR_INVALID_USER_BUFFER;
            else if (buffer_size < id.size() + 1)
                error = ERROR_INSUFFICIENT_BUFFER;
            else
                std::memcpy(buffer, id.c_str(), (id.size() + 1) * sizeof(Char));
        }
    }
    const std::string instance = d ? d->instance : "(none)";
    if (error == ERROR_SUCCESS) {
        journal({function, instance, "ok"});
        return TRUE;
    }
    journal({function, instance,
             sim::error_name(error) +
                 (error == ERROR_INSUFFICIENT_BUFFER ? " " + std::to_string(id.size() + 1) : "")});
    return fail(error);
}

// The root of the device tree. It is not listed, but it is located, opened and walked like any
// other node.
const device& root_device() {
    static const device root = [] {
        device d;
        d.instance = std::string(sim::kRootInstance);
        return d;
    }();
    return root;
}

bool is_root(std::string_view instance) {
    return sim::same_id(instance, sim::kRootInstance);
}

// A node named only as a parent has no device record, but it is still part of the tree.
bool is_named_parent(const sim::machine& machine, const std::string& instance) {
    for (const device& d : machine.devices) {
        if (d.parent && sim::same_id(*d.parent, instance))
            return !is_root(instance);
    }
    return false;
}

// The device a number names in the machine in force, or null with the answer for it.
const device* node_device(const sim::machine& machine, DEVINST devinst, CONFIGRET& result) {
    const std::string* instance = sim::instance_of(devinst);
    if (!instance) {
        result = CR_INVALID_DEVNODE;
        return nullptr;
    }
    if (is_root(*instance))
        return &root_device();
    for (const device& d : machine.devices) {
        if (sim::same_id(d.instance, *instance))
            return &d;
    }
    result = CR_NO_SUCH_DEVNODE;
    return nullptr;
}

std::string node_text(DEVINST devinst) {
    const std::string* instance = sim::instance_of(devinst);
    return instance ? *instance : "#" + std::to_string(devinst);
}

// The nodes of the tree in the order their siblings follow each other: the nodes named only as
// parents (hanging below the root), then the devices in the order of the file. Absent devices
// have no place in it.
struct tree_node {
    std::string instance;
    std::string parent;
};

std::vector<tree_node> tree_of(const sim::machine& machine) {
    std::vector<tree_node> nodes;
    const std::string root(sim::kRootInstance);
    for (const device& d : machine.devices) {
        if (!d.parent || is_root(*d.parent))
            continue;
        bool known = false;
        for (const device& other : machine.devices)
            known = known || sim::same_id(other.instance, *d.parent);
        for (const tree_node& n : nodes)
            known = known || sim::same_id(n.instance, *d.parent);
        if (!known)
            nodes.push_back({*d.parent, root});
    }
    for (const device& d : machine.devices) {
        if (d.present)
            nodes.push_back({d.instance, d.parent ? *d.parent : root});
    }
    return nodes;
}

enum class relation { parent, child, sibling };

// One step from a node: to its parent, its first child or its next sibling.
CONFIGRET step(const sim::machine& machine, relation to, DEVINST devinst, std::string& found) {
    const std::string* instance = sim::instance_of(devinst);
    CONFIGRET result = CR_SUCCESS;
    const device* d = node_device(machine, devinst, result);
    if (!d && !(instance && is_named_parent(machine, *instance)))
        return result;
    if (d && !d->present)
        return CR_NO_SUCH_DEVNODE;  // a phantom has no place in the tree
    if (to == relation::parent && d && d->is_unreadable("parent"))
        return CR_FAILURE;
    const std::vector<tree_node> nodes = tree_of(machine);
    std::size_t self = nodes.size();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (sim::same_id(nodes[i].instance, *instance))
            self = i;
    }
    if (to == relation::parent) {
        if (self == nodes.size())
            return CR_NO_SUCH_DEVNODE;  // the root
        found = nodes[self].parent;
        return CR_SUCCESS;
    }
    const std::string parent = to == relation::child
                                   ? *instance
                                   : (self < nodes.size() ? nodes[self].parent : std::string());
    if (parent.empty())
        return CR_NO_SUCH_DEVNODE;
    for (std::size_t i = to == relation::child ? 0 : self + 1; i < nodes.size(); ++i) {
        if (sim::same_id(nodes[i].parent, parent)) {
            found = nodes[i].instance;
            return CR_SUCCESS;
        }
    }
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET walk(const char* function, relation to, PDEVINST result_devinst, DEVINST devinst,
               ULONG flags) {
    sim::state_lock lock;
    std::string found;
    CONFIGRET result = CR_SUCCESS;
    if (!result_devinst)
        result = CR_INVALID_POINTER;
    else if (flags)
        result = CR_INVALID_FLAG;
    else
        result = step(*sim::current_machine(), to, devinst, found);
    if (result == CR_SUCCESS)
        *result_devinst = sim::devinst_of(found);
    journal({function, node_text(devinst), sim::hex(flags),
             sim::cr_name(result) + (result == CR_SUCCESS ? " " + found : "")});
    return result;
}

// The instance ID of a node, checked for CM_Get_Device_IDA and CM_Get_Device_ID_Size.
CONFIGRET node_id(DEVINST devinst, ULONG flags, std::string& id) {
    const sim::machine_ptr machine = sim::current_machine();
    CONFIGRET result = CR_SUCCESS;
    if (flags)
        return CR_INVALID_FLAG;
    const device* d = node_device(*machine, devinst, result);
    if (d && d->is_unreadable("instance"))
        return CR_FAILURE;
    if (d) {
        id = sim::ansi_of(sim::widen(d->instance));
        return CR_SUCCESS;
    }
    const std::string* instance = sim::instance_of(devinst);
    if (instance && is_named_parent(*machine, *instance)) {
        id = sim::ansi_of(sim::widen(*instance));
        return CR_SUCCESS;
    }
    return result;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
    const std::wstring enumerator = sim::wide_of_ansi(Enumerator);
    return get_class_devs("SetupDiGetClassDevsA", ClassGuid, Enumerator ? &enumerator : nullptr,
                          Flags);
}

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags) {
    const std::wstring enumerator = Enumerator ? Enumerator : L"";
    return get_class_devs("SetupDiGetClassDevsW", ClassGuid, Enumerator ? &enumerator : nullptr,
                          Flags);
}

// An empty list: what gdi32 asks for before it opens one device by its ID.
HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID*, HWND) {
    sim::state_lock lock;
    auto set = std::make_unique<device_set>();
    set->machine = sim::refresh_machine();
    journal({"SetupDiCreateDeviceInfoList", "ok"});
    return add_set(std::move(set));
}

WINBOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND, DWORD,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    sim::state_lock lock;
    device_set* set = find_set(DeviceInfoSet);
    const std::string instance = DeviceInstanceId ? sim::utf8_of(DeviceInstanceId) : "(null)";
    DWORD error = set ? ERROR_NO_SUCH_DEVINST : ERROR_INVALID_HANDLE;
    if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        error = ERROR_INVALID_USER_BUFFER;
    else if (set) {
        // No ID, or an empty one, is the root.
        const bool root = !DeviceInstanceId || !*DeviceInstanceId || is_root(instance);
        std::vector<const device*> candidates;
        if (root)
            candidates.push_back(&root_device());
        for (const device& d : set->machine->devices)
            candidates.push_back(&d);
        for (const device* candidate : candidates) {
            const device& d = *candidate;
            if (!(root ? &d == &root_device() : sim::same_id(d.instance, instance)))
                continue;
            std::size_t position = 0;
            while (position < set->devices.size() && set->devices[position] != &d)
                ++position;
            if (position == set->devices.size())
                set->devices.push_back(&d);
            if (DeviceInfoData)
                fill(*DeviceInfoData, d, position);
            error = ERROR_SUCCESS;
            break;
        }
    }
    journal({"SetupDiOpenDeviceInfoW", instance, error ? sim::error_name(error) : "ok"});
    return error ? fail(error) : TRUE;
}

WINBOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                     PSP_DEVINFO_DATA DeviceInfoData) {
    sim::state_lock lock;
    const device_set* set = find_set(DeviceInfoSet);
    DWORD error = ERROR_SUCCESS;
    if (!set)
        error = ERROR_INVALID_HANDLE;
    else if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        error = ERROR_INVALID_USER_BUFFER;
    else if (MemberIndex >= set->devices.size())
        error = ERROR_NO_MORE_ITEMS;
    if (error) {
        journal({"SetupDiEnumDeviceInfo", std::to_string(MemberIndex), sim::error_name(error)});
        return fail(error);
    }
    const device& d = *set->devices[MemberIndex];
    fill(*DeviceInfoData, d, MemberIndex);
    journal({"SetupDiEnumDeviceInfo", std::to_string(MemberIndex), "ok " + d.instance});
    return TRUE;
}

WINBOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    sim::state_lock lock;
    const bool known = sets.erase(DeviceInfoSet) != 0;
    journal({"SetupDiDestroyDeviceInfoList", known ? "ok" : "ERROR_INVALID_HANDLE"});
    return known ? TRUE : fail(ERROR_INVALID_HANDLE);
}

WINBOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                                 PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                                 DWORD PropertyBufferSize, PDWORD RequiredSize) {
    return get_registry_property<char>("SetupDiGetDeviceRegistryPropertyA", DeviceInfoSet,
                                       DeviceInfoData, Property, PropertyRegDataType,
                                       PropertyBuffer, PropertyBufferSize, RequiredSize);
}

WINBOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                                 PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                                 DWORD PropertyBufferSize, PDWORD RequiredSize) {
    return get_registry_property<wchar_t>("SetupDiGetDeviceRegistryPropertyW", DeviceInfoSet,
                                          DeviceInfoData, Property, PropertyRegDataType,
                                          PropertyBuffer, PropertyBufferSize, RequiredSize);
}

WINBOOL WINAPI SetupDiGetDevicePropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                         const DEVPROPKEY* PropertyKey, DEVPROPTYPE* PropertyType,
                                         PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                         PDWORD RequiredSize, DWORD Flags) {
    sim::state_lock lock;
    DWORD error = ERROR_SUCCESS;
    const device* d = device_in(DeviceInfoSet, DeviceInfoData, error);
    const device_property* known = PropertyKey ? find_device_property(*PropertyKey) : nullptr;
    std::string key_name = "(null)";
    if (known) {
        key_name = known->name;
    } else if (PropertyKey) {
        key_name = sim::guid_text(PropertyKey->fmtid) + " " + std::to_string(PropertyKey->pid);
    }
    std::vector<BYTE> bytes;
    if (!d) {
        // device_in has set the error
    } else if (!PropertyKey || !PropertyType) {
        error = ERROR_INVALID_USER_BUFFER;
    } else if (Flags) {
        error = ERROR_INVALID_FLAGS;
    } else if (!known) {
        error = ERROR_NOT_SUPPORTED;
    } else {
        // The same data as the registry property, or the device's own description.
        const std::vector<std::string> texts =
            known->has_registry_property ? property_texts(*d, known->registry_property)
            : d->bus_description         ? std::vector<std::string>{*d->bus_description}
                                         : std::vector<std::string>{};
        if (texts.empty()) {
            *PropertyType = DEVPROP_TYPE_EMPTY;
            error = ERROR_NOT_FOUND;
        } else if (d->is_unreadable(known->scenario_key)) {
            error = ERROR_ACCESS_DENIED;
        } else {
            for (const std::string& text : texts)
                append_text(bytes, sim::widen(text));
            if (known->type == DEVPROP_TYPE_STRING_LIST)
                append_text(bytes, std::wstring());
            *PropertyType = known->type;
            answer_bytes(bytes, PropertyBuffer, PropertyBufferSize, RequiredSize, error);
        }
    }
    const std::string instance = d ? d->instance : "(none)";
    if (error == ERROR_SUCCESS) {
        journal({"SetupDiGetDevicePropertyW", instance, key_name,
                 "ok " + std::to_string(bytes.size())});
        return TRUE;
    }
    journal(
        {"SetupDiGetDevicePropertyW", instance, key_name,
         d && PropertyKey && PropertyType && !Flags && !known
             ? "unmodelled"
             : sim::error_name(error) +
                   (error == ERROR_INSUFFICIENT_BUFFER ? " " + std::to_string(bytes.size()) : "")});
    return fail(error);
}

WINBOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                           PDWORD RequiredSize) {
    return get_instance_id("SetupDiGetDeviceInstanceIdA", DeviceInfoSet, DeviceInfoData,
                           DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}

WINBOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                           PDWORD RequiredSize) {
    return get_instance_id("SetupDiGetDeviceInstanceIdW", DeviceInfoSet, DeviceInfoData,
                           DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}

}  // extern "C"

namespace {

// The device's "Device Parameters" key, written with its PortName before it is opened.
HKEY open_hardware_key(const device& d, REGSAM access, DWORD& error) {
    const std::wstring path =
        L"SYSTEM\\CurrentControlSet\\Enum\\" + sim::widen(d.instance) + L"\\Device Parameters";
    HKEY created = nullptr;
    error = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                                               REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                                               &created, nullptr));
    unique_hkey writer(error == ERROR_SUCCESS ? created : nullptr);
    if (writer) {
        const std::wstring port = sim::widen(*d.port_name);
        error = static_cast<DWORD>(RegSetValueExW(
            created, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
            static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t))));
    }
    HKEY opened = nullptr;
    if (error == ERROR_SUCCESS)
        error =
            static_cast<DWORD>(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &opened));
    return error == ERROR_SUCCESS ? opened : nullptr;
}

}  // namespace

extern "C" {

// DIREG_DRV opens a real registry key, so that the program reads DriverVersion with the
// registry calls it uses on Windows. The key is written from the listing's scenario each time.
HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 DWORD Scope, DWORD, DWORD KeyType, REGSAM samDesired) {
    sim::state_lock lock;
    DWORD error = ERROR_SUCCESS;
    const device* d = device_in(DeviceInfoSet, DeviceInfoData, error);
    const std::string key_type = KeyType == DIREG_DRV   ? "DIREG_DRV"
                                 : KeyType == DIREG_DEV ? "DIREG_DEV"
                                                        : sim::hex(KeyType);
    HKEY opened = nullptr;
    if (!d) {
        // device_in has set the error
    } else if (Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC)
        error = ERROR_INVALID_FLAGS;
    else if (KeyType != DIREG_DRV && KeyType != DIREG_DEV)
        error = ERROR_INVALID_FLAGS;
    // The hardware key is part of the simulated machine only for its port name.
    else if (KeyType == DIREG_DEV && d->port_name)
        opened = open_hardware_key(*d, samDesired, error);
    else if (KeyType == DIREG_DEV || !d->driver)
        error = ERROR_KEY_DOES_NOT_EXIST;
    else if (d->is_unreadable("driver"))
        error = ERROR_ACCESS_DENIED;
    else if (KeyType == DIREG_DRV) {
        const std::wstring path =
            L"SYSTEM\\CurrentControlSet\\Control\\Class\\" + sim::widen(*d->driver);
        HKEY created = nullptr;
        error = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                                                   REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                                                   &created, nullptr));
        unique_hkey writer(error == ERROR_SUCCESS ? created : nullptr);
        // Each value the device has, as a REG_SZ; one it does not have is not there.
        auto write = [&](const wchar_t* name, const std::optional<std::string>& value) {
            if (!writer || error != ERROR_SUCCESS)
                return;
            if (value) {
                const std::wstring text = sim::widen(*value);
                error = static_cast<DWORD>(RegSetValueExW(
                    created, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
            } else {
                const LSTATUS deleted = RegDeleteValueW(created, name);
                error =
                    deleted == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(deleted);
            }
        };
        write(L"DriverVersion", d->driver_version);
        write(L"InfPath", d->inf_name);
        write(L"ProviderName", d->provider_name);
        // An unreadable DriverVersion: the value is there, but the key comes without the right
        // to query values, so reading it fails with ERROR_ACCESS_DENIED.
        REGSAM access = samDesired;
        if (d->is_unreadable("driver_version")) {
            const REGSAM generic = GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED;
            if (access & generic)
                access = (access & ~generic) | KEY_READ;
            access &= ~static_cast<REGSAM>(KEY_QUERY_VALUE);
            if ((access & ~static_cast<REGSAM>(KEY_WOW64_32KEY | KEY_WOW64_64KEY)) == 0)
                access |= KEY_NOTIFY;
        }
        if (error == ERROR_SUCCESS)
            error = static_cast<DWORD>(
                RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &opened));
    }
    const std::string instance = d ? d->instance : "(none)";
    journal({"SetupDiOpenDevRegKey", instance, key_type, error ? sim::error_name(error) : "ok"});
    if (error) {
        SetLastError(error);
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return opened;
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    return walk("CM_Get_Parent", relation::parent, pdnDevInst, dnDevInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    return walk("CM_Get_Child", relation::child, pdnDevInst, dnDevInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST DevInst, ULONG ulFlags) {
    return walk("CM_Get_Sibling", relation::sibling, pdnDevInst, DevInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen,
                                   ULONG ulFlags) {
    sim::state_lock lock;
    std::string id;
    CONFIGRET result = Buffer ? node_id(dnDevInst, ulFlags, id) : CR_INVALID_POINTER;
    if (result == CR_SUCCESS && BufferLen < id.size() + 1) {
        // As much of the ID as fits, without a terminator.
        std::memcpy(Buffer, id.data(), std::min<std::size_t>(BufferLen, id.size()));
        result = CR_BUFFER_SMALL;
    } else if (result == CR_SUCCESS) {
        std::memcpy(Buffer, id.c_str(), id.size() + 1);
    }
    journal({"CM_Get_Device_IDA", node_text(dnDevInst), sim::hex(ulFlags), sim::cr_name(result)});
    return result;
}

CONFIGRET WINAPI CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
    sim::state_lock lock;
    std::string id;
    CONFIGRET result = pulLen ? node_id(dnDevInst, ulFlags, id) : CR_INVALID_POINTER;
    if (pulLen)
        *pulLen = result == CR_SUCCESS ? static_cast<ULONG>(id.size()) : 0;
    journal({"CM_Get_Device_ID_Size", node_text(dnDevInst), sim::hex(ulFlags),
             sim::cr_name(result) + (result == CR_SUCCESS ? " " + std::to_string(id.size()) : "")});
    return result;
}

// Absent devices are found only when asked for phantoms too, as on the system.
CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
    sim::state_lock lock;
    const sim::machine_ptr machine = sim::refresh_machine();
    const std::string wanted = pDeviceID ? sim::utf8_of(sim::wide_of_ansi(pDeviceID)) : "";
    CONFIGRET result = CR_NO_SUCH_DEVNODE;
    std::string found;
    const std::optional<uint32_t> failure = machine->failure("install", "locate");
    if (!pdnDevInst) {
        result = CR_INVALID_POINTER;
    } else if (ulFlags & ~static_cast<ULONG>(CM_LOCATE_DEVNODE_BITS)) {
        result = CR_INVALID_FLAG;
    } else if (failure) {
        result = static_cast<CONFIGRET>(*failure);
    } else if (wanted.empty() || is_root(wanted)) {
        // No ID, or an empty one, is the root.
        found = std::string(sim::kRootInstance);
        result = CR_SUCCESS;
    } else {
        for (const device& d : machine->devices) {
            if (sim::same_id(d.instance, wanted) &&
                (d.present || (ulFlags & CM_LOCATE_DEVNODE_PHANTOM))) {
                found = d.instance;
                result = CR_SUCCESS;
                break;
            }
        }
        if (result != CR_SUCCESS && !wanted.empty() && is_named_parent(*machine, wanted)) {
            found = wanted;
            result = CR_SUCCESS;
        }
    }
    if (result == CR_SUCCESS)
        *pdnDevInst = sim::devinst_of(found);
    journal({"CM_Locate_DevNodeA", pDeviceID ? wanted : "(null)", sim::hex(ulFlags),
             sim::cr_name(result) + (failure ? " (scenario)" : "")});
    return result;
}

// Other installations stay pending for the scenario's pending_installations_ms: a wait that is
// shorter times out after its time, a longer one ends when they are done.
DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD dwTimeout) {
    sim::machine_ptr machine;
    {
        sim::state_lock lock;
        machine = sim::refresh_machine();
    }
    const DWORD pending = machine->pending_installations_ms;
    const bool done_in_time = dwTimeout == INFINITE || pending <= dwTimeout;
    Sleep(done_in_time ? pending : dwTimeout);
    const DWORD answer = done_in_time ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    journal({"CMP_WaitNoPendingInstallEvents", std::to_string(dwTimeout),
             done_in_time ? "WAIT_OBJECT_0" : "WAIT_TIMEOUT"});
    return answer;
}

}  // extern "C"

namespace {

// The answer a scenario key gives instead of the call's own, noted in the journal.
std::string scenario_note(const std::optional<uint32_t>& failure) {
    return failure ? " (scenario)" : "";
}

// Writes a device's configuration flags into the machine's state. Only SPDRP_CONFIGFLAGS is
// written by anybody on the simulated machine; other properties are unmodelled. The value is
// binary, so the A and W calls are one.
BOOL set_registry_property(const char* function, HDEVINFO handle, PSP_DEVINFO_DATA data,
                           DWORD property, const BYTE* buffer, DWORD size) {
    sim::state_lock lock;
    DWORD error = ERROR_SUCCESS;
    const device* d = device_in(handle, data, error);
    const registry_property* info = find_property(property);
    const std::string property_name = info ? info->name : sim::hex(property);
    std::optional<uint32_t> failure;
    std::string value = "-";
    if (d) {
        if (property == SPDRP_CONFIGFLAGS)
            failure = sim::current_machine()->failure("install", "set_property");
        if (property != SPDRP_CONFIGFLAGS) {
            error = ERROR_NOT_SUPPORTED;
        } else if (!buffer || size != sizeof(DWORD)) {
            error = ERROR_INVALID_DATA;
        } else {
            DWORD flags = 0;
            std::memcpy(&flags, buffer, sizeof flags);
            value = sim::hex(flags);
            if (failure) {
                error = *failure;
            } else {
                sim::install_lock install;
                sim::device_states states = sim::read_device_states();
                sim::device_state state = states[sim::id_key(d->instance)];
                state.config_flags = flags;
                error = sim::write_device_state(d->instance, state);
            }
        }
    }
    const std::string instance = d ? d->instance : "(none)";
    const std::string outcome = property != SPDRP_CONFIGFLAGS && d ? "unmodelled"
                                : error == ERROR_SUCCESS           ? "ok"
                                                                   : sim::error_name(error);
    journal({function, instance, property_name, value, outcome + scenario_note(failure)});
    return error == ERROR_SUCCESS ? TRUE : fail(error);
}

// The status of a node: a started driver, or the problem that keeps it from starting.
constexpr ULONG kStarted =
    DN_DRIVER_LOADED | DN_STARTED | DN_DISABLEABLE | DN_NT_ENUMERATOR | DN_NT_DRIVER;
constexpr ULONG kWithProblem = DN_HAS_PROBLEM | DN_DISABLEABLE | DN_NT_ENUMERATOR | DN_NT_DRIVER;

}  // namespace

extern "C" {

WINBOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                                 const BYTE* PropertyBuffer,
                                                 DWORD PropertyBufferSize) {
    return set_registry_property("SetupDiSetDeviceRegistryPropertyA", DeviceInfoSet, DeviceInfoData,
                                 Property, PropertyBuffer, PropertyBufferSize);
}

WINBOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                                 const BYTE* PropertyBuffer,
                                                 DWORD PropertyBufferSize) {
    return set_registry_property("SetupDiSetDeviceRegistryPropertyW", DeviceInfoSet, DeviceInfoData,
                                 Property, PropertyBuffer, PropertyBufferSize);
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                       ULONG ulFlags) {
    sim::state_lock lock;
    const sim::machine_ptr machine = sim::refresh_machine();
    const std::optional<uint32_t> failure = machine->failure("install", "status");
    CONFIGRET result = CR_SUCCESS;
    ULONG status = 0;
    ULONG problem = 0;
    const std::string* instance = sim::instance_of(dnDevInst);
    const device* d = node_device(*machine, dnDevInst, result);
    if (!pulStatus || !pulProblemNumber) {
        result = CR_INVALID_POINTER;
    } else if (ulFlags) {
        result = CR_INVALID_FLAG;
    } else if (failure) {
        result = static_cast<CONFIGRET>(*failure);
    } else if (!d && instance && is_named_parent(*machine, *instance)) {
        result = CR_SUCCESS;
        status = kStarted;
    } else if (d && !d->present) {
        result = CR_NO_SUCH_DEVNODE;  // a phantom has no status
    } else if (d) {
        result = CR_SUCCESS;
        if (d->problem) {
            status = kWithProblem;
            problem = *d->problem;
        } else if (d == &root_device() || d->service) {
            status = kStarted | (d->need_restart ? DN_NEED_RESTART : 0);
        } else {
            status = kWithProblem;
            problem = CM_PROB_FAILED_INSTALL;  // no driver was ever installed
        }
    }
    if (result == CR_SUCCESS) {
        *pulStatus = status;
        *pulProblemNumber = problem;
    }
    journal(
        {"CM_Get_DevNode_Status", node_text(dnDevInst), sim::hex(ulFlags),
         sim::cr_name(result) +
             (result == CR_SUCCESS ? " " + sim::hex(status) + " problem " + std::to_string(problem)
                                   : "") +
             scenario_note(failure)});
    return result;
}

// Asks the node to be enumerated again: on the simulated machine a present node answers, and
// the devices below it that an uninstall removed are known again (the installation has bound the
// others already).
CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
    sim::state_lock lock;
    const sim::machine_ptr machine = sim::refresh_machine();
    const std::optional<uint32_t> failure = machine->failure("install", "reenumerate");
    CONFIGRET result = CR_SUCCESS;
    const std::string* instance = sim::instance_of(dnDevInst);
    const device* d = node_device(*machine, dnDevInst, result);
    if (ulFlags & ~static_cast<ULONG>(CM_REENUMERATE_BITS))
        result = CR_INVALID_FLAG;
    else if (failure)
        result = static_cast<CONFIGRET>(*failure);
    else if (!d && instance && is_named_parent(*machine, *instance))
        result = CR_SUCCESS;
    else if (d && !d->present)
        result = CR_NO_SUCH_DEVNODE;
    else if (d)
        result = CR_SUCCESS;
    // The scan finds again the connected devices below the node that an uninstall removed.
    std::vector<std::string> found;
    if (result == CR_SUCCESS && instance) {
        found = sim::find_removed_devices(*sim::scenario_machine(), *instance);
        if (!found.empty())
            sim::refresh_machine();
    }
    journal({"CM_Reenumerate_DevNode", node_text(dnDevInst), sim::hex(ulFlags),
             sim::cr_name(result) + scenario_note(failure) +
                 (found.empty() ? "" : " " + std::to_string(found.size()) + " devices found")});
    return result;
}

// Copies an INF into the driver store (%WINDIR%\inf\oem<N>.inf) and gives its full path.
WINBOOL WINAPI SetupCopyOEMInfW(PCWSTR SourceInfFileName, PCWSTR OEMSourceMediaLocation,
                                DWORD OEMSourceMediaType, DWORD CopyStyle,
                                PWSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                                PDWORD RequiredSize, PWSTR* DestinationInfFileNameComponent) {
    std::optional<uint32_t> failure;
    {
        sim::state_lock lock;
        failure = sim::refresh_machine()->failure("install", "copy");
    }
    const std::string source = SourceInfFileName ? sim::utf8_of(SourceInfFileName) : "(null)";
    DWORD error = ERROR_SUCCESS;
    std::wstring destination;
    if (!SourceInfFileName || OEMSourceMediaType > SPOST_MAX ||
        (!DestinationInfFileName && DestinationInfFileNameSize)) {
        error = ERROR_INVALID_PARAMETER;
    } else if (CopyStyle & ~static_cast<DWORD>(SP_COPY_DELETESOURCE | SP_COPY_REPLACEONLY |
                                               SP_COPY_NOOVERWRITE | SP_COPY_OEMINF_CATALOG_ONLY)) {
        error = ERROR_INVALID_FLAGS;
    } else if (failure) {
        error = *failure;
    } else {
        sim::install_lock install;
        error = sim::copy_to_driver_store(SourceInfFileName, destination);
    }
    if (error == ERROR_SUCCESS) {
        if (RequiredSize)
            *RequiredSize = static_cast<DWORD>(destination.size() + 1);
        if (DestinationInfFileName && DestinationInfFileNameSize < destination.size() + 1) {
            error = ERROR_INSUFFICIENT_BUFFER;
        } else if (DestinationInfFileName) {
            std::memcpy(DestinationInfFileName, destination.c_str(),
                        (destination.size() + 1) * sizeof(wchar_t));
            if (DestinationInfFileNameComponent)
                *DestinationInfFileNameComponent =
                    DestinationInfFileName + destination.rfind(L'\\') + 1;
        }
    }
    journal({"SetupCopyOEMInfW", source,
             OEMSourceMediaLocation ? sim::utf8_of(OEMSourceMediaLocation) : "(null)",
             std::to_string(OEMSourceMediaType), sim::hex(CopyStyle),
             (error == ERROR_SUCCESS ? "ok " + sim::utf8_of(destination) : sim::error_name(error)) +
                 scenario_note(failure)});
    return error == ERROR_SUCCESS ? TRUE : fail(error);
}

// Deletes a package from the driver store, unless devices are bound to it (InfPath names it) and
// the call does not force it.
WINBOOL WINAPI SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved) {
    sim::machine_ptr machine;
    {
        sim::state_lock lock;
        machine = sim::refresh_machine();
    }
    const std::optional<uint32_t> failure = machine->failure("uninstall", "package");
    const std::wstring name = InfFileName ? InfFileName : L"";
    DWORD error = ERROR_SUCCESS;
    if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos || Reserved) {
        error = ERROR_INVALID_PARAMETER;
    } else if (Flags & ~static_cast<DWORD>(SUOI_FORCEDELETE)) {
        error = ERROR_INVALID_FLAGS;
    } else if (failure) {
        error = *failure;
    } else {
        sim::install_lock install;
        const std::string utf8 = sim::utf8_of(name);
        const std::wstring path = sim::inf_folder() + L"\\" + name;
        bool in_use = false;
        for (const device& d : machine->devices)
            in_use = in_use || (d.inf_name && sim::same_id(*d.inf_name, utf8));
        if (!sim::in_driver_store(utf8)) {
            error = ERROR_FILE_NOT_FOUND;
        } else if (in_use && !(Flags & SUOI_FORCEDELETE)) {
            error = ERROR_INF_IN_USE_BY_DEVICES;
        } else if (!DeleteFileW(path.c_str())) {
            error = GetLastError();
        } else {
            // The precompiled form beside it goes too; most packages have none here.
            const std::size_t dot = path.rfind(L'.');
            DeleteFileW((path.substr(0, dot) + L".pnf").c_str());
        }
    }
    journal({"SetupUninstallOEMInfW", InfFileName ? sim::utf8_of(name) : "(null)", sim::hex(Flags),
             (error ? sim::error_name(error) : "ok") + scenario_note(failure)});
    return error ? fail(error) : TRUE;
}

// Wine's own newdev.dll imports these. Driver installation is not simulated here, so they fail
// cleanly; unexported, they would be bound to stubs that raise an exception when called.
WINBOOL WINAPI SetupDiBuildDriverInfoList(HDEVINFO, PSP_DEVINFO_DATA, DWORD) {
    journal({"SetupDiBuildDriverInfoList", "ERROR_NOT_SUPPORTED"});
    return fail(ERROR_NOT_SUPPORTED);
}

WINBOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO, PSP_DEVINFO_DATA) {
    journal({"SetupDiCallClassInstaller", sim::hex(InstallFunction), "ERROR_NOT_SUPPORTED"});
    return fail(ERROR_NOT_SUPPORTED);
}

WINBOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_W) {
    journal({"SetupDiGetDeviceInstallParamsW", "ERROR_NOT_SUPPORTED"});
    return fail(ERROR_NOT_SUPPORTED);
}

WINBOOL WINAPI SetupDiSetDeviceInstallParamsW(HDEVINFO, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_W) {
    journal({"SetupDiSetDeviceInstallParamsW", "ERROR_NOT_SUPPORTED"});
    return fail(ERROR_NOT_SUPPORTED);
}

}  // extern "C"
