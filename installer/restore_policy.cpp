#include "restore_policy.h"

#include <windows.h>
#include <gpedit.h>

#include <cstdio>
#include <memory>
#include <optional>

#include "base/log.h"
#include "restore_record.h"
#include "win/handles.h"
#include "win/runtime_imports.h"

namespace {

constexpr char kCaller[] = "set_restore_policy";

constexpr char kSettingsKey[] = "Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Settings";
constexpr char kValue[] = "DisableSystemRestore";
constexpr DWORD kNoValue = 0xFFFFFFFF;

// Not in mingw-w64's import libraries as data: the class and interface of gpedit.h.
const CLSID kGroupPolicyObjectClass = {
    0xea502722, 0xa23d, 0x11d1, {0xa7, 0xd3, 0x00, 0x00, 0xf8, 0x75, 0x71, 0xe3}};
const IID kGroupPolicyObjectInterface = {
    0xea502723, 0xa23d, 0x11d1, {0xa7, 0xd3, 0x00, 0x00, 0xf8, 0x75, 0x71, 0xe3}};
GUID kRegistryExtension = REGISTRY_EXTENSION_GUID;
GUID kToolPolicy = {0x3d271cfc, 0x2bc6, 0x4ac2, {0xb6, 0x33, 0x3b, 0xdf, 0xf5, 0xbd, 0xab, 0x2a}};

// The value found before this run set it; kNoValue when there was none.
DWORD saved_value = kNoValue;
// Whether this run's disable call set the value: only then is there anything to put back.
bool value_set_by_this_run = false;

struct com_releaser {
    void operator()(IUnknown* object) const { object->Release(); }
};
using unique_policy_object = std::unique_ptr<IGroupPolicyObject, com_releaser>;

bool before_vista() {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    BOOL known = GetVersionExW(&version);
#pragma GCC diagnostic pop
    return known && version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion < 6;
}

const char* setting_text(DWORD value, char (&text)[16]) {
    if (value == kNoValue)
        return "none";
    snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(value));
    return text;
}

unique_hkey open_record(REGSAM access, bool create) {
    unique_hkey key;
    access |= KEY_WOW64_64KEY;  // one record for the machine, whichever build runs
    if (create) {
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRestoreRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        access, nullptr, key.put(), nullptr);
    } else {
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRestoreRecordKey, 0, access, key.put());
    }
    return key;
}

// The earlier value a run left recorded, or nothing. A value of another kind is no record of
// ours and is passed over (and replaced by this run's).
std::optional<DWORD> read_record() {
    unique_hkey key = open_record(KEY_QUERY_VALUE, false);
    if (!key)
        return std::nullopt;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key.get(), kRestoreRecordValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    if (type == REG_NONE && size == 0)
        return kNoValue;
    if (type == REG_DWORD && size == sizeof value && value != kNoValue)
        return value;
    return std::nullopt;
}

// Records the earlier value, on disk before it returns true.
bool write_record(DWORD value) {
    unique_hkey key = open_record(KEY_SET_VALUE, true);
    if (!key)
        return false;
    LONG written = value == kNoValue
                       ? RegSetValueExA(key.get(), kRestoreRecordValue, 0, REG_NONE, nullptr, 0)
                       : RegSetValueExA(key.get(), kRestoreRecordValue, 0, REG_DWORD,
                                        reinterpret_cast<const BYTE*>(&value), sizeof value);
    return written == ERROR_SUCCESS && RegFlushKey(key.get()) == ERROR_SUCCESS;
}

void delete_record() {
    if (unique_hkey key = open_record(KEY_SET_VALUE, false)) {
        RegDeleteValueA(key.get(), kRestoreRecordValue);
        RegFlushKey(key.get());
    }
}

// Writes `value` back, or deletes the value when it stands for none.
LONG put_back(HKEY settings, DWORD value) {
    if (value == kNoValue) {
        LONG deleted = RegDeleteValueA(settings, kValue);
        return deleted == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : deleted;
    }
    return RegSetValueExA(settings, kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

// The value before this run: read from the settings key (which may not have existed) into
// saved_value.
void read_earlier_value(HKEY settings, bool existed) {
    if (!existed || saved_value != kNoValue)
        return;
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    LONG read =
        RegQueryValueExA(settings, kValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (read == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value) {
        saved_value = value;
    } else if (read != ERROR_FILE_NOT_FOUND) {
        // A value of another type or size is no setting this run can put back whole.
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "failed to read original DisableSystemRestore value - error %x",
                   static_cast<unsigned>(read == ERROR_SUCCESS ? ERROR_INVALID_DATA : read));
    }
}

// Step 6 of the disable call. Returns the failed write's or delete's code, or ERROR_SUCCESS; a
// setting whose earlier value cannot be recorded is left as it is (ERROR_CANTWRITE).
LONG disable_value(HKEY settings, bool existed) {
    char text[16];
    if (std::optional<DWORD> left = read_record()) {
        saved_value = *left;
        LONG restored = put_back(settings, saved_value);
        if (restored == ERROR_SUCCESS) {
            usbdrv_log(
                USBDRV_LOG_INFO, kCaller,
                "put back the system restore point creation setting (%s) that an installation "
                "which did not end had changed",
                setting_text(saved_value, text));
        }
    } else {
        read_earlier_value(settings, existed);
        if (!write_record(saved_value)) {
            usbdrv_log(
                USBDRV_LOG_ERROR, kCaller,
                "could not record the system restore point creation setting - it is left as it "
                "is");
            return ERROR_CANTWRITE;
        }
    }
    const DWORD one = 1;
    LONG written = RegSetValueExA(settings, kValue, 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&one), sizeof one);
    if (written == ERROR_SUCCESS)
        value_set_by_this_run = true;
    return written;
}

// The policy object is a COM object of this thread's apartment (the helper's main thread makes
// every policy call). COM is loaded at the first call, not at the helper's start.
void enter_apartment() {
    static bool entered = false;
    if (entered)
        return;
    entered = true;
    if (auto initialise = imports.CoInitializeEx.get_quietly())
        initialise(nullptr, COINIT_APARTMENTTHREADED);
}

}  // namespace

bool set_restore_policy(bool disable) {
    if (before_vista())
        return true;
    if (!disable && !value_set_by_this_run) {
        usbdrv_log(USBDRV_LOG_INFO, kCaller,
                   "system restore point creation setting left alone: this run did not "
                   "change it");
        return true;
    }
    enter_apartment();
    auto create = imports.CoCreateInstance.get_quietly();
    IGroupPolicyObject* created = nullptr;
    HRESULT hr = create ? create(kGroupPolicyObjectClass, nullptr, CLSCTX_INPROC_SERVER,
                                 kGroupPolicyObjectInterface, reinterpret_cast<void**>(&created))
                        : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    if (FAILED(hr) || !created) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "CoCreateInstance failed; hr = %x",
                   static_cast<unsigned>(hr));
        return false;
    }
    unique_policy_object policy(created);
    hr = policy->OpenLocalMachineGPO(GPO_OPEN_LOAD_REGISTRY);
    if (FAILED(hr)) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "OpenLocalMachineGPO failed - error %x",
                   static_cast<unsigned>(hr));
        return false;
    }
    unique_hkey machine;
    hr = policy->GetRegistryKey(GPO_SECTION_MACHINE, machine.put());
    if (FAILED(hr) || !machine) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "GetRegistryKey failed - error %x",
                   static_cast<unsigned>(hr));
        return false;
    }
    unique_hkey settings;
    DWORD disposition = 0;
    LONG opened =
        RegCreateKeyExA(machine.get(), kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, settings.put(), &disposition);
    if (opened != ERROR_SUCCESS) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "RegCreateKeyEx failed - error %x",
                   static_cast<unsigned>(opened));
        return false;
    }
    LONG changed = disable ? disable_value(settings.get(), disposition == REG_OPENED_EXISTING_KEY)
                           : put_back(settings.get(), saved_value);
    if (changed == ERROR_CANTWRITE)
        return false;
    if (changed != ERROR_SUCCESS) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "RegSetValueEx / RegDeleteValue failed - error %x",
                   static_cast<unsigned>(changed));
    }
    settings.reset();
    hr = policy->Save(TRUE, disable ? TRUE : FALSE, &kRegistryExtension, &kToolPolicy);
    if (changed != ERROR_SUCCESS || FAILED(hr)) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "unable to apply DisableSystemRestore policy - error %x",
                   static_cast<unsigned>(hr));
        return false;
    }
    if (!disable) {
        value_set_by_this_run = false;
        delete_record();
    }
    usbdrv_log(USBDRV_LOG_INFO, kCaller,
               "successfully %s the system restore point creation setting",
               disable ? "disabled" : "restored");
    return true;
}
