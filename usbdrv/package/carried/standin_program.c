/* Stand-in for a program of another maker: it says what it is and fails. STANDIN_NAME is the
 * vendor program's file name. */
#include <windows.h>

void __stdcall standin_entry(void) {
    static const char text[] = "Stand-in for " STANDIN_NAME ": not the vendor's program.\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, sizeof text - 1, &written, NULL);
    ExitProcess(1);
}
