// The Windows version code (major * 16 + minor) from what the system reports, with the
// correction for systems that report 6.2 to programs they do not know.
#pragma once

enum version_field { VERSION_FIELD_MAJOR, VERSION_FIELD_MINOR };

// Answers whether the running system's major (or minor) version equals value.
typedef bool (*version_verifier)(void* context, version_field field, unsigned value);

// is_nt: the platform is of the NT family. Returns the code, 0 for NT below 5.1, or -1 when it
// cannot be told (not NT, or a number above 15 after the correction).
int windows_version_code(bool is_nt, unsigned major, unsigned minor, version_verifier verify,
                         void* context);
