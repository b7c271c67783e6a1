// The system functions that the library and the installer helper look up by name at run time,
// because not every Windows version has them (or to keep their DLL out of the program's import
// table). One typed table: a signature comes from the system header through decltype, so it
// cannot drift.
//
// A lookup is made on first use and cached for the life of the process. A missing function
// logs "Unable to locate <name>() in <module>" under the caller's name and is looked up again at
// the next call. Threads may look up at the same time (the dialog's timer lists devices while a
// command's worker prepares a package): each slot is atomic, and a race only looks a function up
// twice and stores the same address.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <mscat.h>
#include <newdev.h>
#include <objbase.h>
#include <setupapi.h>
#include <shlobj.h>
#include <wincrypt.h>
#include <winver.h>

#include "win/signer_api.h"

#include <atomic>

// The C runtime's wide arguments (msvcrt), which no header declares.
struct msvcrt_startupinfo {
    int new_mode;
};
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                                      int expand_wildcards, msvcrt_startupinfo* startup);

class runtime_import_slot {
public:
    constexpr runtime_import_slot(const char* module, const char* name)
        : module_(module), name_(name) {}

    // Logs a failed lookup at error level under caller.
    void* resolve(const char* caller);
    // For callers that report a missing function in words of their own.
    void* resolve_quietly();
    const char* module() const { return module_; }
    const char* name() const { return name_; }

private:
    const char* module_;
    const char* name_;
    std::atomic<void*> proc_{nullptr};
};

template <typename Fn>
class runtime_import : public runtime_import_slot {
public:
    using runtime_import_slot::runtime_import_slot;
    Fn* get(const char* caller) { return reinterpret_cast<Fn*>(resolve(caller)); }
    Fn* get_quietly() { return reinterpret_cast<Fn*>(resolve_quietly()); }
};

// module, function
#define USBDRV_RUNTIME_IMPORTS(X)                        \
    X("Cfgmgr32.dll", CM_Get_Parent)                     \
    X("Cfgmgr32.dll", CM_Get_Child)                      \
    X("Cfgmgr32.dll", CM_Get_Sibling)                    \
    X("Cfgmgr32.dll", CM_Get_Device_IDA)                 \
    X("Setupapi.dll", CMP_WaitNoPendingInstallEvents)    \
    X("setupapi.dll", SetupDiGetDevicePropertyW)         \
    X("version.dll", GetFileVersionInfoSizeA)            \
    X("version.dll", GetFileVersionInfoA)                \
    X("version.dll", VerQueryValueA)                     \
    X("version.dll", GetFileVersionInfoSizeW)            \
    X("version.dll", GetFileVersionInfoW)                \
    X("version.dll", VerQueryValueW)                     \
    X("shell32.dll", IsUserAnAdmin)                      \
    X("wintrust", CryptCATOpen)                          \
    X("wintrust", CryptCATClose)                         \
    X("wintrust", CryptCATPersistStore)                  \
    X("wintrust", CryptCATPutCatAttrInfo)                \
    X("wintrust", CryptCATPutMemberInfo)                 \
    X("wintrust", CryptCATPutAttrInfo)                   \
    X("wintrust", CryptCATAdminCalcHashFromFileHandle)   \
    X("crypt32", CryptEncodeObject)                      \
    X("crypt32", CertStrToNameA)                         \
    X("crypt32", CertCreateSelfSignCertificate)          \
    X("crypt32", CertFreeCertificateContext)             \
    X("crypt32", CertOpenStore)                          \
    X("crypt32", CertCloseStore)                         \
    X("crypt32", CertFindCertificateInStore)             \
    X("crypt32", CertDeleteCertificateFromStore)         \
    X("crypt32", CertControlStore)                       \
    X("crypt32", CertSetCertificateContextProperty)      \
    X("crypt32", CertAddCertificateContextToStore)       \
    X("crypt32", CertAddEncodedCertificateToStore)       \
    X("crypt32", CryptAcquireCertificatePrivateKey)      \
    X("crypt32", CertEnumCertificatesInStore)            \
    X("crypt32", CertGetCertificateContextProperty)      \
    X("crypt32", CertNameToStrW)                         \
    X("crypt32", CertCreateCertificateContext)           \
    X("crypt32", CertCompareCertificate)                 \
    X("crypt32", CryptMsgOpenToDecode)                   \
    X("crypt32", CryptMsgUpdate)                         \
    X("crypt32", CryptMsgGetParam)                       \
    X("crypt32", CryptMsgClose)                          \
    X("crypt32", CryptDecodeObjectEx)                    \
    X("mssign32", SignerSignEx)                          \
    X("mssign32", SignerFreeSignerContext)               \
    X("gdi32.dll", CreateFontA)                          \
    X("gdi32.dll", GetStockObject)                       \
    X("gdi32.dll", SetBkMode)                            \
    X("gdi32.dll", DeleteObject)                         \
    X("kernel32.dll", IsWow64Process)                    \
    X("kernel32.dll", GetNamedPipeServerProcessId)       \
    X("kernel32.dll", GetNamedPipeClientProcessId)       \
    X("kernel32.dll", CancelIoEx)                        \
    X("Cfgmgr32.dll", CM_Locate_DevNodeA)                \
    X("Cfgmgr32.dll", CM_Reenumerate_DevNode)            \
    X("Cfgmgr32.dll", CM_Get_DevNode_Status)             \
    X("newdev.dll", UpdateDriverForPlugAndPlayDevicesW)  \
    X("newdev.dll", DiUninstallDevice)                   \
    X("setupapi.dll", SetupCopyOEMInfW)                  \
    X("setupapi.dll", SetupUninstallOEMInfW)             \
    X("setupapi.dll", SetupDiGetClassDevsA)              \
    X("setupapi.dll", SetupDiEnumDeviceInfo)             \
    X("setupapi.dll", SetupDiGetDeviceRegistryPropertyA) \
    X("setupapi.dll", SetupDiSetDeviceRegistryPropertyA) \
    X("setupapi.dll", SetupDiDestroyDeviceInfoList)      \
    X("ole32.dll", CoInitializeEx)                       \
    X("ole32.dll", CoCreateInstance)                     \
    X("Msvcrt.dll", __wgetmainargs)

struct runtime_import_table {
#define USBDRV_DECLARE_IMPORT(module, function) \
    runtime_import<decltype(::function)> function{module, #function};
    USBDRV_RUNTIME_IMPORTS(USBDRV_DECLARE_IMPORT)
#undef USBDRV_DECLARE_IMPORT
};

extern runtime_import_table imports;

// Looks the functions up in this order and stops at the first one missing, which it logs under
// caller; true when all are there.
template <typename... Imports>
bool look_up_all(const char* caller, Imports&... functions) {
    return (... && (functions.get(caller) != nullptr));
}

// Looks up the configuration-manager and setup functions that enumeration, preparation and
// installation need; true when all five are there. Found ones stay cached; a missing one is
// logged under "init_dlls" and looked for again at the next call.
bool init_dlls();
