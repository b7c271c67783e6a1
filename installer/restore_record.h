// The record of the restore-point setting that the helper keeps while it has changed the setting
// (restore_policy.h): below HKEY_LOCAL_MACHINE, in the machine's own (64-bit) view, where only
// administrators can write. A REG_DWORD holds the earlier value; REG_NONE says there was none.
#pragma once

constexpr char kRestoreRecordKey[] = "SOFTWARE\\Corvane\\Installer";
constexpr char kRestoreRecordValue[] = "DisableSystemRestore before the installation";
