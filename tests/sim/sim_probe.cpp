// A second process on the simulated machine: prints what the setup calls tell of one device, so
// that a test sees the machine's state as another program of the prefix does. Argument: the
// instance ID. Output: "service=<...> version=<...> port=<...>", "-" for what is missing; exit
// code 1 when the device is not listed.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

#include "win/handles.h"

namespace {

std::string property(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD which) {
    char text[256] = {};
    return SetupDiGetDeviceRegistryPropertyA(
               set, &data, which, nullptr, reinterpret_cast<BYTE*>(text), sizeof text - 1, nullptr)
               ? text
               : "-";
}

std::string value(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD key_type, const char* name) {
    unique_hkey key(SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, key_type, KEY_READ));
    if (!key)  // also INVALID_HANDLE_VALUE, the failure's answer
        return "-";
    char text[256] = {};
    DWORD size = sizeof text - 1;
    return RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                            &size) == ERROR_SUCCESS
               ? text
               : "-";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    unique_device_info_set set(
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &data); ++i) {
        char id[MAX_DEVICE_ID_LEN + 1] = {};
        if (!SetupDiGetDeviceInstanceIdA(set.get(), &data, id, sizeof id, nullptr) ||
            lstrcmpiA(id, argv[1]) != 0)
            continue;
        std::printf("service=%s version=%s port=%s\n",
                    property(set.get(), data, SPDRP_SERVICE).c_str(),
                    value(set.get(), data, DIREG_DRV, "DriverVersion").c_str(),
                    value(set.get(), data, DIREG_DEV, "PortName").c_str());
        return 0;
    }
    return 1;
}
