#include "win/runtime_imports.h"

#include <atomic>

#include "base/log.h"
#include "win/system_module.h"

runtime_import_table imports;

void* runtime_import_slot::resolve_quietly() {
    // Acquire pairs with the release below: a thread that finds the address also sees what the
    // loader wrote before it was stored.
    void* proc = proc_.load(std::memory_order_acquire);
    if (proc)
        return proc;
    // The module stays loaded for the life of the process: the cache points into it.
    HMODULE module = load_system_module(module_);
    if (module)
        proc = reinterpret_cast<void*>(GetProcAddress(module, name_));
    if (proc)
        proc_.store(proc, std::memory_order_release);  // a racing thread stores the same address
    return proc;
}

void* runtime_import_slot::resolve(const char* caller) {
    void* proc = resolve_quietly();
    if (!proc)
        usbdrv_log(USBDRV_LOG_ERROR, caller, "Unable to locate %s() in %s\n", name_, module_);
    return proc;
}

bool init_dlls() {
    // Atomic like the import slots it checks: the dialog's timer and a command's worker may ask
    // at the same time.
    static std::atomic<bool> ready{false};
    if (ready)
        return true;
    if (!look_up_all("init_dlls", imports.CM_Get_Parent, imports.CM_Get_Child,
                     imports.CM_Get_Sibling, imports.CM_Get_Device_IDA,
                     imports.CMP_WaitNoPendingInstallEvents)) {
        return false;
    }
    ready = true;
    return true;
}
