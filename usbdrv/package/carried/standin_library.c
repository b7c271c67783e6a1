/* Stand-in for a driver library of another maker. It carries a version record and nothing else,
 * and refuses to be loaded, so that no installation can pass with it in the vendor's place. */
#include <windows.h>

BOOL WINAPI standin_entry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return FALSE;
}
