// The installer helper's second thread: it follows the system's device-setup log while the
// helper installs and relays every new line to the tool (setup_log_relay.h).
#pragma once

#include <windows.h>

#include <string>

#include "base/setup_log_relay.h"

// What the reader needs beyond relaying: its own log lines for the tool.
class setup_log_reader_port : public setup_log_port {
public:
    virtual void log(const std::string& line) = 0;

protected:
    ~setup_log_reader_port() = default;
};

// The events shared with the main flow, both manual-reset: `started` is set by the reader once it
// relays, `stop` by the main flow to end it.
struct setup_log_reader_events {
    HANDLE started;
    HANDLE stop;
};

// The reader's whole life on the calling thread: finds the first of the logs
// "%WINDIR%\inf\setupapi.dev.log", "%WINDIR%\setupapi.log", "%WINDIR%\setupact.log" that opens,
// relays what is written to it from now on until `stop` is set, and returns after "syslog reader
// thread terminating". A log that becomes shorter than what was read of it (truncated, or written
// anew) is read again from its start.
void run_setup_log_reader(const setup_log_reader_events& events, setup_log_reader_port& port);

// The port of the helper: the system's ANSI code page, and the installer pipe.
setup_log_reader_port& installer_pipe_reader_port();
