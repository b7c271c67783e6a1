// The installer helper's relay of the system's setup log: the new bytes of one pass are split into
// lines, and every complete line travels to the tool as a MSG_SYSLOG_MESSAGE. Portable, so that the
// splitting is tested and fuzzed natively; the reader thread that follows the file is the
// helper's (installer/setup_log_reader.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What relaying needs of the system: turning a line of the log (the system's ANSI code page) into
// UTF-8, and sending a message.
class setup_log_port {
public:
    // The line's `length` bytes (no line break, no zero byte) as UTF-8 into `utf8`; false when
    // they do not convert.
    virtual bool to_utf8(const char* line, size_t length, std::string& utf8) = 0;
    // One whole message, in one write.
    virtual void send(const uint8_t* message, size_t length) = 0;

protected:
    ~setup_log_port() = default;
};

// Sent for a line that is empty or does not convert: 01, the 14 letters, 00.
constexpr char kGarbledLine[] = "<Garbled data>";
// A line the system is still writing in place: it and what follows wait for the next pass.
constexpr char kInProgressMarker[] = "<ins>";

// Sends every complete line of `buffer` (`length` bytes, not changed) and returns the bytes
// consumed: up to the first byte after the last line break that was sent. A run of CR and LF
// bytes ends one line; a line is read up to its first zero byte. An unfinished last line, and a
// line that is exactly "<ins>" with everything after it, are left for the next pass. A line whose
// UTF-8 form is longer than kSyslogTextMax bytes (which the host would refuse) is cut to fit, at
// a character's start, after a warning "a setup-log line of <n> bytes is cut to its first <m>
// bytes".
size_t relay_log_lines(const char* buffer, size_t length, setup_log_port& port);

// The reader's pause after a pass, in milliseconds: 0 after a pass that relayed lines; after an
// idle pass 100 ms more than the last pause, up to 500 ms.
uint32_t next_poll_delay(uint32_t delay_ms, bool relayed);
