// Switching off the creation of a system restore point for device installations while the helper
// installs, through the machine's local group-policy object, and putting the earlier setting
// back afterwards.
#pragma once

// Disable: saves the earlier "DisableSystemRestore" value and sets it to 1. Restore: writes the
// saved value back, or deletes the value when there was none. A restore in a run whose disable
// did not set the value leaves the setting alone. True on success or when skipped; every failure
// is logged to the tool and never stops the installation.
bool set_restore_policy(bool disable);
