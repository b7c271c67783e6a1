// A stand-in for the installer helper that follows a script, for the tests of the installation
// host. It talks over the pipe with the helper's own code (installer/pipe_client.h). The tests
// copy it into a package folder as installer_x64.exe and write the script beside it; the host
// starts it there, so its working directory holds the script.
//
// The script, "helper-script.txt" in the working directory: one command per line, run in order;
// blank lines and lines starting with "#" are skipped.
//
//   connect               open the pipe (as the helper does first thing); when that fails, exit
//                         with its result (-5: no pipe, -3: served by another program)
//   log <text>            a log message: usbdrv_log with the text, through the helper's sink
//   syslog <text>         a setup-log line
//   syslog-filled <n> <c> a setup-log line of n copies of the character c
//   raw <hex bytes>       one write of exactly these bytes ("raw" alone: an empty message)
//   code <n>              the one-byte message n
//   request <n>           req_id(n): asks for an identifier, logs what came back
//   status <n>            the final status n
//   pause <ms>            sleeps
//   exit <n>              closes the pipe and exits with n
//
// Commands that send before "connect" send nothing, as the helper's do. At the end of the
// script the pipe is closed and the exit code is 0. A script that cannot be read or a line that
// is not understood ends the program with exit code 90 and a line on standard error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/installer_protocol.h"
#include "base/log.h"
#include "pipe_client.h"

namespace {

constexpr int kBadScript = 90;

int bad_script(const std::string& line) {
    fprintf(stderr, "scripted helper: cannot follow '%s'\n", line.c_str());
    return kBadScript;
}

bool hex_bytes(const std::string& text, std::vector<uint8_t>& bytes) {
    std::string digits;
    for (char c : text) {
        if (c != ' ')
            digits += c;
    }
    if (digits.size() % 2)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        char* end = nullptr;
        std::string pair = digits.substr(i, 2);
        unsigned long value = strtoul(pair.c_str(), &end, 16);
        if (*end)
            return false;
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return true;
}

// Runs one line; returns -1 to go on, or the exit code.
int run(const std::string& line) {
    size_t space = line.find(' ');
    std::string command = line.substr(0, space);
    std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    int number = atoi(rest.c_str());

    if (command == "connect") {
        usbdrv_result opened = installer_pipe_open();
        return opened == USBDRV_OK ? -1 : opened;
    }
    if (command == "log") {
        usbdrv_log(USBDRV_LOG_INFO, "scripted helper", "%s", rest.c_str());
    } else if (command == "syslog") {
        send_syslog_line(rest.c_str());
    } else if (command == "syslog-filled") {
        size_t gap = rest.find(' ');
        if (gap == std::string::npos || gap + 1 >= rest.size())
            return bad_script(line);
        send_syslog_line(std::string(static_cast<size_t>(number), rest[gap + 1]).c_str());
    } else if (command == "raw") {
        std::vector<uint8_t> bytes;
        if (!hex_bytes(rest, bytes))
            return bad_script(line);
        send_message(bytes.data(), bytes.size());
    } else if (command == "code") {
        send_code(static_cast<uint8_t>(number));
    } else if (command == "request") {
        req_id(number);
    } else if (command == "status") {
        send_status(number);
    } else if (command == "pause") {
        Sleep(static_cast<DWORD>(number));
    } else if (command == "exit") {
        installer_pipe_close();
        return number;
    } else {
        return bad_script(line);
    }
    return -1;
}

}  // namespace

int main() {
    usbdrv_set_log_sink(installer_pipe_log_sink, nullptr);  // as the helper does
    FILE* script = fopen("helper-script.txt", "rb");
    if (!script) {
        fprintf(stderr, "scripted helper: no helper-script.txt in the working directory\n");
        return kBadScript;
    }
    std::vector<std::string> lines;
    char text[4096];
    while (fgets(text, sizeof text, script)) {
        std::string line(text);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (!line.empty() && line[0] != '#')
            lines.push_back(line);
    }
    fclose(script);

    for (const std::string& line : lines) {
        int code = run(line);
        if (code != -1)
            return code;
    }
    installer_pipe_close();
    return 0;
}
