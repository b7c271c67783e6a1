#include "win/process_result.h"

#include "base/exit_code.h"

usbdrv_result exit_code_to_result(HANDLE process) {
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code))
        return USBDRV_ERR_OTHER;
    return result_of_exit_code(code);
}
