#include "restore_policy.h"

#include <windows.h>
#include <gpedit.h>

#include <memory>

#include "handles.h"
#include "pipe_client.h"
#include "runtime_imports.h"

namespace {

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

// Step 6: the value itself. Returns the failed write's or delete's code, or ERROR_SUCCESS.
LONG change_value(HKEY settings, bool existed, bool disable) {
    if (disable) {
        if (existed && saved_value == kNoValue) {
            DWORD value = 0;
            DWORD size = sizeof value;
            DWORD type = 0;
            LONG read = RegQueryValueExA(settings, kValue, nullptr, &type,
                                         reinterpret_cast<BYTE*>(&value), &size);
            if (read == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value) {
                saved_value = value;
            } else if (read != ERROR_FILE_NOT_FOUND) {
                // A value of another type or size is no setting this run can put back whole.
                installer_log(
                    "failed to read original DisableSystemRestore value - error %x",
                    static_cast<unsigned>(read == ERROR_SUCCESS ? ERROR_INVALID_DATA : read));
            }
        }
        const DWORD one = 1;
        LONG written = RegSetValueExA(settings, kValue, 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&one), sizeof one);
        if (written == ERROR_SUCCESS)
            value_set_by_this_run = true;
        return written;
    }
    if (saved_value == kNoValue)
        return RegDeleteValueA(settings, kValue);
    return RegSetValueExA(settings, kValue, 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&saved_value), sizeof saved_value);
}

}  // namespace

bool set_restore_policy(bool disable) {
    if (before_vista())
        return true;
    if (!disable && !value_set_by_this_run) {
        installer_log(
            "system restore point creation setting left alone: this run did not "
            "change it");
        return true;
    }
    auto create = imports.CoCreateInstance.get_quietly();
    IGroupPolicyObject* created = nullptr;
    HRESULT hr = create ? create(kGroupPolicyObjectClass, nullptr, CLSCTX_INPROC_SERVER,
                                 kGroupPolicyObjectInterface, reinterpret_cast<void**>(&created))
                        : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    if (FAILED(hr) || !created) {
        installer_log("CoCreateInstance failed; hr = %x", static_cast<unsigned>(hr));
        return false;
    }
    unique_policy_object policy(created);
    hr = policy->OpenLocalMachineGPO(GPO_OPEN_LOAD_REGISTRY);
    if (FAILED(hr)) {
        installer_log("OpenLocalMachineGPO failed - error %x", static_cast<unsigned>(hr));
        return false;
    }
    unique_hkey machine;
    hr = policy->GetRegistryKey(GPO_SECTION_MACHINE, machine.put());
    if (FAILED(hr) || !machine) {
        installer_log("GetRegistryKey failed - error %x", static_cast<unsigned>(hr));
        return false;
    }
    unique_hkey settings;
    DWORD disposition = 0;
    LONG opened =
        RegCreateKeyExA(machine.get(), kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, settings.put(), &disposition);
    if (opened != ERROR_SUCCESS) {
        installer_log("RegCreateKeyEx failed - error %x", static_cast<unsigned>(opened));
        return false;
    }
    LONG changed = change_value(settings.get(), disposition == REG_OPENED_EXISTING_KEY, disable);
    if (changed != ERROR_SUCCESS) {
        installer_log("RegSetValueEx / RegDeleteValue failed - error %x",
                      static_cast<unsigned>(changed));
    }
    settings.reset();
    hr = policy->Save(TRUE, disable ? TRUE : FALSE, &kRegistryExtension, &kToolPolicy);
    if (changed != ERROR_SUCCESS || FAILED(hr)) {
        installer_log("unable to apply DisableSystemRestore policy - error %x",
                      static_cast<unsigned>(hr));
        return false;
    }
    if (!disable)
        value_set_by_this_run = false;
    installer_log("successfully %s the system restore point creation setting",
                  disable ? "disabled" : "restored");
    return true;
}
