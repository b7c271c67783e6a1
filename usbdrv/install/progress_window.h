// The progress window: a marquee bar and a changing line of text over a disabled owner window,
// while an installation runs on a worker thread.
#pragma once

#include <windows.h>

#include "usbdrv/usbdrv.h"

// The work the window runs on its worker thread. `cancel` is a manual-reset event that the
// window sets at its time-out; the work then returns by itself, soon.
using progress_work = usbdrv_result (*)(void* argument, HANDLE cancel);

// Runs `work(argument, cancel)` on a worker thread under a progress window owned by `owner`, and
// returns its result once it has returned and the window is gone. After 300 counted seconds the
// window sets the work's cancel event (a work that honours it returns USBDRV_ERR_TIMEOUT); the
// worker is never ended or suspended, so the window waits for it to return.
usbdrv_result run_with_progress_bar(HWND owner, progress_work work, void* argument);
