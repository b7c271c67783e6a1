// The time-stamped line both programs' log files are written in: the dialog's log for support
// and the console program's --log file. One format, so that support reads either the same way.
#pragma once

#include <cstddef>
#include <string>

// A message has no length limit of its own; more than this is cut, and the cut is said.
constexpr size_t kLogMessageMax = 16 * 1024;

struct log_time {
    unsigned year, month, day, hour, minute, second, millisecond;
};

// "2026-12-10 07:41:43.123 <text>\r\n". The text stays on its line: trailing line breaks are
// dropped and inner ones become spaces. A text longer than kLogMessageMax is cut at a character
// boundary, followed by " [<n> more bytes]". CR LF, so that the file reads as lines in every
// Windows editor.
std::string log_line(const log_time& time, const std::string& text);
