// Switching off the creation of a system restore point for device installations while the helper
// installs, through the machine's local group-policy object, and putting the earlier setting
// back afterwards.
#pragma once

// Disable: saves the earlier "DisableSystemRestore" value and sets it to 1. Restore: writes the
// saved value back, or deletes the value when there was none. A restore in a run whose disable
// did not set the value leaves the setting alone. True on success or when skipped; every failure
// is logged to the tool and never stops the installation.
//
// The earlier value is also recorded where only administrators can write
// (HKLM\SOFTWARE\Corvane\Installer) before the value is changed, and the record goes once it
// is put back. A run that never got to put it back (ended from outside, a crash, a power cut)
// leaves the record: the next disable finds it, puts that value back first and keeps it as the
// earlier value, so the machine's own setting survives.
bool set_restore_policy(bool disable);
