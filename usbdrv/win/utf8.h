// UTF-8 <-> UTF-16 copies. Both return a new text for the caller to free(), or null for a null
// or empty text and for any failure.
#pragma once

char* utf16_to_utf8(const wchar_t* text);
wchar_t* utf8_to_utf16(const char* text);
