// Reading what enumeration finds: device instance ID pieces, driver versions, service names.
// No system calls, so that it also builds natively.
#pragma once

#include <cstddef>
#include <cstdint>

// The next piece of a device instance ID split at "\", "#" and "&" (runs of separators give no
// empty pieces), cut to size - 1 bytes. Returns false when no piece is left.
bool next_id_piece(const char*& cursor, char* piece, size_t size);

// "10.0.19041.1" -> 10 << 48 | 0 << 32 | 19041 << 16 | 1. Pieces are split at "." (empty ones
// are dropped) and each is read as a signed 32-bit decimal number, widened with its sign.
uint64_t parse_driver_version(const char* text);

// The services that mark a USB hub, and the one that marks a composite parent (any case).
bool is_hub_service(const char* service);
bool is_composite_parent_service(const char* service);

// Cuts off trailing spaces, tabs, line feeds, vertical tabs, form feeds and carriage returns.
void trim_trailing_space(char* text);
