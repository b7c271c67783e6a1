// The dialog's log file: the library's lines (the installer helper's, relayed by the library,
// among them) and the dialog's own, each with a time stamp, in
// "<local application data>\Corvane\Corvane.log". A windowed program has no console for the
// library's standard streams; this is where a user finds what happened, to send it in.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "failure_text.h"
#include "usbdrv/kit.h"
#include "usbdrv/usbdrv.h"

class log_file {
public:
    // The folder is below LOCALAPPDATA, which names the same folder as the system's answer unless
    // the user points it elsewhere, as USERPROFILE is read for the package; the system is asked
    // when it is not set or not a full path. Without a folder the program runs without a log.
    log_file();
    log_file(const log_file&) = delete;
    log_file& operator=(const log_file&) = delete;

    // Appends one line (UTF-8). Each line opens the file, appends and closes it, so that the file
    // can be read, copied or deleted while the program runs and a second Corvane can write too. A
    // line that cannot be written is dropped: the log never stops the program.
    void write(const std::string& text);
    // One of the program's own lines, told from the library's by its prefix ("Corvane: ").
    void write_own(const std::string& text);
    // The file's path (UTF-8); empty when the program runs without a log.
    std::string path() const;

private:
    unique_file_handle open_for_line(uint64_t line_bytes);

    critical_section lock_;
    // The log's folder and those above it below their root, outermost first, made when the
    // file cannot be opened for want of them.
    std::vector<std::wstring> folders_;
    std::wstring path_;
    std::wstring old_path_;
};

// Sends the library's lines to a log file, and to the watch that finds the Windows error behind
// a command's failure, while it lives.
class library_lines_to {
public:
    library_lines_to(log_file& log, failure_watch& failures) : log_(log), failures_(failures) {
        usbdrv_set_log_sink(&library_lines_to::take, this);
    }
    ~library_lines_to() { usbdrv_set_log_sink(nullptr, nullptr); }
    library_lines_to(const library_lines_to&) = delete;
    library_lines_to& operator=(const library_lines_to&) = delete;

private:
    static void take(int32_t level, const char* line, void* context) {
        auto* self = static_cast<library_lines_to*>(context);
        self->failures_.take(level, line);
        self->log_.write(line);
    }

    log_file& log_;
    failure_watch& failures_;
};
