// Text that another process sent, made fit for one log line. The installer helper's log messages
// and setup-log lines, and the filter installer's console output, reach the library's log (and
// from there the dialog's log file and the console program's standard error) through it, so that
// no such text can end the line it is in, start a line that looks like the library's own, or
// drive the terminal that shows it.
//
// The rule:
// - Printable ASCII and well-formed UTF-8 pass unchanged, byte for byte.
// - Control characters are escaped visibly: LF as \n, CR as \r, TAB as \t, every other byte
//   below 0x20 and DEL (0x7F) as \xHH (two upper-case hexadecimal digits: ESC is \x1B, a zero
//   byte \x00).
// - The C1 controls U+0080 to U+009F (U+009B starts a terminal sequence as ESC [ does, U+0085 is
//   a line break) and the line and paragraph separators U+2028 and U+2029 are escaped as \uHHHH.
// - What is not well-formed UTF-8 (a stray continuation byte, an overlong form, a surrogate, a
//   code point above U+10FFFF, a sequence cut short) becomes U+FFFD, one for each maximal
//   ill-formed part, as the Unicode standard recommends.
// - A backslash passes unchanged. Paths and device instance IDs are full of them, and support
//   reads them as they are; the price is that a text that holds a backslash and an "n" reads
//   like an escaped line feed, which forges no line.
#pragma once

#include <cstddef>
#include <string>

// The `length` bytes of `text` (zero bytes included) by the rule above.
std::string loggable_text(const char* text, size_t length);
