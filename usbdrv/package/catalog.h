// The package's security catalog: one member per listed file, with the device's hardware ID and
// the supported Windows versions as catalog attributes.
#pragma once

#include <cstdint>

#include "base/catalog_rules.h"

// Writes the catalog `cat_path` for the files of `search_dir` (and its sub-folders) whose bare
// names are in `file_names` (matched in any case, at any depth); `hardware_id` is the device's
// ("USB\VID_...&PID_..."). True when the catalog file was written; files left out do not make it
// false. When it is false, no catalog that it began is left at `cat_path`.
bool CreateCat(const char* cat_path, const char* hardware_id, const char* search_dir,
               const char* const* file_names, uint32_t file_count);

// The hash the catalog records for the file `path` (UTF-8), as the system's catalog service
// computes it (a PE image without its signature, any other file whole). False when the file
// cannot be opened or hashed.
bool CalcHash(uint8_t (&hash)[kFileHashBytes], const char* path);
