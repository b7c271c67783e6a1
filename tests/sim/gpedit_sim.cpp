// gpedit.dll of the simulated machine (tests/sim/README.md): the local group-policy object,
// which Wine does not have. An in-process COM class registered in the test prefix under
// CLSID_GroupPolicyObject; its registry sections are keys of the prefix's registry below the
// machine's state key, so that a test reads what a program set through it.
#include <windows.h>
#include <gpedit.h>

#include <atomic>
#include <new>
#include <optional>
#include <string>

#include "sim_state.h"

namespace {

using sim::journal;

const CLSID kClassId = {
    0xea502722, 0xa23d, 0x11d1, {0xa7, 0xd3, 0x00, 0x00, 0xf8, 0x75, 0x71, 0xe3}};
const IID kInterfaceId = {
    0xea502723, 0xa23d, 0x11d1, {0xa7, 0xd3, 0x00, 0x00, 0xf8, 0x75, 0x71, 0xe3}};

std::atomic<long> live_objects{0};

// The scenario's answer for one of the object's calls, or nullopt for its own.
std::optional<uint32_t> scenario_failure(const char* key) {
    sim::state_lock lock;
    return sim::refresh_machine()->failure("group_policy", key);
}

std::string outcome_text(HRESULT result, bool from_scenario) {
    return (SUCCEEDED(result) ? std::string("ok")
                              : "error " + sim::hex(static_cast<unsigned long>(result))) +
           (from_scenario ? " (scenario)" : "");
}

std::string guid_or_null(const GUID* guid) {
    return guid ? sim::guid_text(*guid) : "(null)";
}

// "Software\Corvane\Simulation\<name>\Group Policy\Machine" below HKEY_CURRENT_USER.
std::wstring section_path(DWORD section) {
    return sim::state_key_path() + L"\\Group Policy\\" +
           (section == GPO_SECTION_MACHINE ? L"Machine" : L"User");
}

class group_policy_object final : public IGroupPolicyObject {
public:
    group_policy_object() { ++live_objects; }
    ~group_policy_object() { --live_objects; }

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kInterfaceId)) {
            *object = static_cast<IGroupPolicyObject*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references_); }
    STDMETHODIMP_(ULONG) Release() override {
        const long left = --references_;
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    STDMETHODIMP OpenLocalMachineGPO(DWORD dwFlags) override {
        const std::optional<uint32_t> failure = scenario_failure("open");
        HRESULT result = S_OK;
        if (failure)
            result = static_cast<HRESULT>(*failure);
        else if (dwFlags & ~static_cast<DWORD>(GPO_OPEN_LOAD_REGISTRY | GPO_OPEN_READ_ONLY))
            result = E_INVALIDARG;
        if (SUCCEEDED(result)) {
            opened_ = true;
            flags_ = dwFlags;
        }
        journal({"IGroupPolicyObject::OpenLocalMachineGPO", sim::hex(dwFlags),
                 sim::utf8_of(section_path(GPO_SECTION_MACHINE)),
                 outcome_text(result, failure.has_value())});
        return result;
    }

    // A new handle to the section's key for each call; the caller closes it.
    STDMETHODIMP GetRegistryKey(DWORD dwSection, HKEY* hKey) override {
        const std::optional<uint32_t> failure = scenario_failure("registry_key");
        HRESULT result = S_OK;
        if (!hKey)
            result = E_POINTER;
        else if (failure)
            result = static_cast<HRESULT>(*failure);
        else if (!opened_ || !(flags_ & GPO_OPEN_LOAD_REGISTRY))
            result = E_FAIL;  // nothing was loaded that a key could hold
        else if (dwSection != GPO_SECTION_MACHINE && dwSection != GPO_SECTION_USER)
            result = E_INVALIDARG;
        if (SUCCEEDED(result)) {
            HKEY key = nullptr;
            const REGSAM access = (flags_ & GPO_OPEN_READ_ONLY) ? KEY_READ : KEY_READ | KEY_WRITE;
            const LSTATUS status =
                RegCreateKeyExW(HKEY_CURRENT_USER, section_path(dwSection).c_str(), 0, nullptr,
                                REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
            result = status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
            *hKey = status == ERROR_SUCCESS ? key : nullptr;
        } else if (hKey) {
            *hKey = nullptr;
        }
        const char* section = dwSection == GPO_SECTION_MACHINE ? "machine"
                              : dwSection == GPO_SECTION_USER  ? "user"
                                                               : "other";
        journal({"IGroupPolicyObject::GetRegistryKey", section,
                 outcome_text(result, failure.has_value())});
        return result;
    }

    STDMETHODIMP Save(WINBOOL bMachine, WINBOOL bAdd, GUID* pGuidExtension, GUID* pGuid) override {
        const std::optional<uint32_t> failure = scenario_failure("save");
        HRESULT result = S_OK;
        if (failure)
            result = static_cast<HRESULT>(*failure);
        else if (!opened_)
            result = E_FAIL;
        else if (!pGuidExtension || !pGuid)
            result = E_INVALIDARG;
        else if (flags_ & GPO_OPEN_READ_ONLY)
            result = E_ACCESSDENIED;
        journal({"IGroupPolicyObject::Save", bMachine ? "machine" : "user", bAdd ? "add" : "remove",
                 guid_or_null(pGuidExtension), guid_or_null(pGuid),
                 outcome_text(result, failure.has_value())});
        return result;
    }

    // Everything else the object offers is not part of the simulated machine.
    STDMETHODIMP New(LPOLESTR, LPOLESTR, DWORD) override { return unmodelled("New"); }
    STDMETHODIMP OpenDSGPO(LPOLESTR, DWORD) override { return unmodelled("OpenDSGPO"); }
    STDMETHODIMP OpenRemoteMachineGPO(LPOLESTR, DWORD) override {
        return unmodelled("OpenRemoteMachineGPO");
    }
    STDMETHODIMP Delete() override { return unmodelled("Delete"); }
    STDMETHODIMP GetName(LPOLESTR, int) override { return unmodelled("GetName"); }
    STDMETHODIMP GetDisplayName(LPOLESTR, int) override { return unmodelled("GetDisplayName"); }
    STDMETHODIMP SetDisplayName(LPOLESTR) override { return unmodelled("SetDisplayName"); }
    STDMETHODIMP GetPath(LPOLESTR, int) override { return unmodelled("GetPath"); }
    STDMETHODIMP GetDSPath(DWORD, LPOLESTR, int) override { return unmodelled("GetDSPath"); }
    STDMETHODIMP GetFileSysPath(DWORD, LPOLESTR, int) override {
        return unmodelled("GetFileSysPath");
    }
    STDMETHODIMP GetOptions(DWORD*) override { return unmodelled("GetOptions"); }
    STDMETHODIMP SetOptions(DWORD, DWORD) override { return unmodelled("SetOptions"); }
    STDMETHODIMP GetType(GROUP_POLICY_OBJECT_TYPE*) override { return unmodelled("GetType"); }
    STDMETHODIMP GetMachineName(LPOLESTR, int) override { return unmodelled("GetMachineName"); }
    STDMETHODIMP GetPropertySheetPages(HPROPSHEETPAGE**, UINT*) override {
        return unmodelled("GetPropertySheetPages");
    }

private:
    static HRESULT unmodelled(const char* method) {
        journal({std::string("IGroupPolicyObject::") + method, "unmodelled E_NOTIMPL"});
        return E_NOTIMPL;
    }

    std::atomic<long> references_{1};
    bool opened_ = false;
    DWORD flags_ = 0;
};

class class_factory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // One factory for the life of the DLL.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        const std::optional<uint32_t> failure = scenario_failure("create");
        HRESULT result = S_OK;
        if (!object)
            result = E_POINTER;
        else if (outer)
            result = CLASS_E_NOAGGREGATION;
        else if (failure)
            result = static_cast<HRESULT>(*failure);
        if (object)
            *object = nullptr;
        if (SUCCEEDED(result)) {
            auto* created = new (std::nothrow) group_policy_object;
            result = created ? created->QueryInterface(riid, object) : E_OUTOFMEMORY;
            if (created)
                created->Release();
        }
        journal({"IGroupPolicyObject::CreateInstance", sim::guid_text(riid),
                 outcome_text(result, failure.has_value())});
        return result;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

class_factory factory;

}  // namespace

extern "C" {

HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, kClassId))
        return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(riid, ppv);
}

HRESULT WINAPI DllCanUnloadNow() {
    return live_objects == 0 ? S_OK : S_FALSE;
}

}  // extern "C"
