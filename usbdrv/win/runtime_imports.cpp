#include "runtime_imports.h"

#include "log.h"
#include "system_module.h"

runtime_import_table imports;

void* runtime_import_slot::resolve_quietly() {
    // Every writer stores the same value, so the cache needs no lock.
    if (proc_)
        return proc_;
    HMODULE module = load_system_module(module_);
    if (module)
        proc_ = reinterpret_cast<void*>(GetProcAddress(module, name_));
    return proc_;
}

void* runtime_import_slot::resolve(const char* caller) {
    void* proc = resolve_quietly();
    if (!proc)
        usbdrv_log(USBDRV_LOG_ERROR, caller, "Unable to locate %s() in %s\n", name_, module_);
    return proc;
}
