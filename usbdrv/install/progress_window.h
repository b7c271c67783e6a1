// The progress window: a marquee bar and a changing line of text over a disabled owner window,
// while an installation runs on a worker thread.
#pragma once

#include <windows.h>

#include "usbdrv/usbdrv.h"

// The work the window runs on its worker thread.
using progress_work = usbdrv_result (*)(void* argument);
// Called on the window's thread after the worker was ended by force (the time-out), so that what
// the work held (handles, markers, a child process) does not outlive it. May be null.
using progress_abandon = void (*)(void* argument);

// Runs `work(argument)` on a worker thread under a progress window owned by `owner`, and returns
// its result once the window is gone; USBDRV_ERR_TIMEOUT after 300 counted seconds.
usbdrv_result run_with_progress_bar(HWND owner, progress_work work, void* argument,
                                    progress_abandon abandon);
