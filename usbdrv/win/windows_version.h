// The running system's version code: major * 16 + minor (0x61 Windows 7, 0xA0 Windows 10).
#pragma once

// -1 until detect_windows_version has run, and after a run that could not tell.
extern int windows_version;

void detect_windows_version();
