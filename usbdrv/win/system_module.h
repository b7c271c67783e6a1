// Loading the system's own modules.
#pragma once

#include <windows.h>

// The module's handle: the loaded one when there is one, otherwise loaded from the system
// folder only. The program runs elevated next to folders its user can write to, so a DLL planted
// there under a system module's name must never be picked up. Null when neither works. The
// module stays loaded for the life of the process: a handle from GetModuleHandle carries no
// reference, so the result is never given back (no unique_module for it).
HMODULE load_system_module(const char* name);
