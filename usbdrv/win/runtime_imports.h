// The system functions that the library and the installer helper look up by name at run time,
// because not every Windows version has them, or to keep their DLL out of the program's import
// table: a program loads at its start only what its start uses, and the libraries a preparation,
// an installation or the progress window need are loaded (from the system folder) on first use. One
// typed table: a signature comes from the system header through decltype, so it cannot drift.
//
// A lookup is made on first use and cached for the life of the process. A missing function
// logs "Unable to locate <name>() in <module>" under the caller's name and is looked up again at
// the next call. Threads may look up at the same time (the dialog's timer lists devices while a
// command's worker prepares a package): each slot is atomic, and a race only looks a function up
// twice and stores the same address.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <commctrl.h>
#include <mscat.h>
#include <newdev.h>
#include <objbase.h>
#include <sddl.h>
#include <setupapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <wincrypt.h>
#include <winver.h>

#include "win/signer_api.h"

#include <atomic>
#include <type_traits>
#include <utility>

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

    // Calls the function. One that is not there acts as a call that failed: a zero result (false,
    // null, 0) and ERROR_PROC_NOT_FOUND as the last error. Only for functions whose zero result
    // is a failure (not an HRESULT or an error code), where a caller that needs a clear line has
    // looked them up before, such as a window whose procedure the system calls.
    template <typename... Args>
    auto operator()(Args&&... args) {
        using result = decltype(std::declval<Fn*>()(std::forward<Args>(args)...));
        if (Fn* function = get_quietly())
            return function(std::forward<Args>(args)...);
        SetLastError(ERROR_PROC_NOT_FOUND);
        if constexpr (!std::is_void_v<result>)
            return result{};
    }

    // Calls a function that returns an error code; one that is not there gives `missing`.
    template <typename... Args>
    auto call_or(LONG missing, Args&&... args) {
        using result = decltype(std::declval<Fn*>()(std::forward<Args>(args)...));
        if (Fn* function = get_quietly())
            return function(std::forward<Args>(args)...);
        return static_cast<result>(missing);
    }
};

// The window longs that hold a pointer: on 32-bit Windows the header makes them macros of the
// 32-bit ones, which are the only ones user32 exports there (GetWindowLongW is in the table
// anyway).
#ifdef _WIN64
#define USBDRV_WINDOW_LONG_PTR_IMPORTS(X) \
    X("user32.dll", GetWindowLongPtrW)    \
    X("user32.dll", SetWindowLongPtrW)
#else
#define USBDRV_WINDOW_LONG_PTR_IMPORTS(X) X("user32.dll", SetWindowLongW)
#endif

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
    X("crypt32", CertAddSerializedElementToStore)        \
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
    X("setupapi.dll", SetupDiCreateDeviceInfoList)       \
    X("setupapi.dll", SetupDiOpenDeviceInfoW)            \
    X("setupapi.dll", SetupDiGetDeviceRegistryPropertyW) \
    X("setupapi.dll", SetupDiOpenDevRegKey)              \
    X("ole32.dll", CoCreateGuid)                         \
    X("shell32.dll", SHCreateDirectoryExW)               \
    X("shell32.dll", ShellExecuteExW)                    \
    X("comctl32.dll", InitCommonControlsEx)              \
    X("user32.dll", GetWindowLongW)                      \
    X("user32.dll", PostMessageW)                        \
    X("user32.dll", EnableWindow)                        \
    X("user32.dll", PostQuitMessage)                     \
    X("user32.dll", DestroyWindow)                       \
    X("user32.dll", CreateWindowExA)                     \
    X("user32.dll", CreateWindowExW)                     \
    X("user32.dll", SendMessageW)                        \
    X("user32.dll", GetWindow)                           \
    X("user32.dll", GetWindowRect)                       \
    X("user32.dll", GetClientRect)                       \
    X("user32.dll", ClientToScreen)                      \
    X("user32.dll", MoveWindow)                          \
    X("user32.dll", InternalGetWindowText)               \
    X("user32.dll", EnumChildWindows)                    \
    X("user32.dll", GetDesktopWindow)                    \
    X("user32.dll", SetWindowTextA)                      \
    X("user32.dll", ShowWindow)                          \
    X("user32.dll", UpdateWindow)                        \
    X("user32.dll", DefWindowProcW)                      \
    X("user32.dll", SetTimer)                            \
    X("user32.dll", GetClassInfoExW)                     \
    X("user32.dll", LoadIconA)                           \
    X("user32.dll", LoadCursorA)                         \
    X("user32.dll", GetSysColorBrush)                    \
    X("user32.dll", RegisterClassExW)                    \
    X("user32.dll", GetMessageW)                         \
    X("user32.dll", TranslateMessage)                    \
    X("user32.dll", DispatchMessageW)                    \
    X("user32.dll", IsWindow)                            \
    USBDRV_WINDOW_LONG_PTR_IMPORTS(X)                    \
    X("advapi32.dll", OpenProcessToken)                  \
    X("advapi32.dll", GetTokenInformation)               \
    X("advapi32.dll", ConvertSidToStringSidA)            \
    X("advapi32.dll", ConvertStringSidToSidA)            \
    X("advapi32.dll", InitializeSecurityDescriptor)      \
    X("advapi32.dll", SetSecurityDescriptorOwner)        \
    X("advapi32.dll", CryptAcquireContextW)              \
    X("advapi32.dll", CryptGenKey)                       \
    X("advapi32.dll", CryptDestroyKey)                   \
    X("advapi32.dll", CryptReleaseContext)               \
    X("advapi32.dll", RegOpenKeyExA)                     \
    X("advapi32.dll", RegQueryValueExA)                  \
    X("advapi32.dll", RegQueryValueExW)                  \
    X("advapi32.dll", RegCloseKey)                       \
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
