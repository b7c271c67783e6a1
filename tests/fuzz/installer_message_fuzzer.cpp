// libFuzzer target for the host's handler of installer messages: arbitrary message bytes, with or
// without a device being installed, for the helper or the filter installer, with identifiers of
// any length. The message lies in a heap block of exactly its size, so that the sanitizers catch
// a read past it; the result, the answers and the log are checked against the rules, with the
// documented line of every malformed case. Every text logged is one line that holds no control
// character and only well-formed UTF-8, and a text that was so already is logged as it came.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/installer_protocol.h"
#include "base/log.h"
#include "base/loggable_text.h"

namespace {

class recording_port final : public installer_host_port {
public:
    std::vector<std::string> replies;
    std::string sid;

    void write_reply(const void* bytes, size_t length) override {
        replies.emplace_back(static_cast<const char*>(bytes), length);
    }
    bool user_sid(char* text, size_t capacity) override {
        if (sid.empty())
            return false;
        snprintf(text, capacity, "%s", sid.c_str());
        return true;
    }
};

void check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "installer_message_fuzzer: %s\n", what);
        abort();
    }
}

bool has(const std::string& log, const std::string& line) {
    return log.find(line) != std::string::npos;
}

// The answer the rules give for an identifier: its bytes when it fits the helper's buffer, else
// one zero byte.
std::string answer_for(const std::string& identifier) {
    if (identifier.empty() || identifier.size() > kIdentifierMax ||
        identifier.find('\0') != std::string::npos) {
        return std::string(1, '\0');
    }
    return identifier;
}

// A text that a log line may hold as it is: no control character, well-formed UTF-8 (what the
// rule leaves unchanged).
bool loggable(const std::string& text) {
    return loggable_text(text.data(), text.size()) == text;
}

// The text of a log line as the library wrote it, "<prefix><text>\n": whether the line is that,
// with a text that is loggable and, when `sent` was loggable already, is `sent`.
bool one_line_of(const std::string& line, const std::string& prefix, const std::string& sent) {
    if (line.size() < prefix.size() + 1 || line.compare(0, prefix.size(), prefix) != 0 ||
        line.back() != '\n') {
        return false;
    }
    const std::string text = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    return loggable(text) && (!loggable(sent) || text == sent);
}

std::vector<std::string> lines_of(const std::string& log) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < log.size();) {
        size_t end = log.find('\n', start);
        end = end == std::string::npos ? log.size() : end + 1;
        lines.push_back(log.substr(start, end - start));
        start = end;
    }
    return lines;
}

// Everything the library logs during one call, both streams.
class log_capture {
public:
    log_capture() : memory_(open_memstream(&text_, &size_)) {
        saved_out_ = stdout;
        saved_err_ = stderr;
        stdout = memory_;
        stderr = memory_;
    }
    std::string end() {
        fflush(memory_);
        stdout = saved_out_;
        stderr = saved_err_;
        fclose(memory_);
        std::string log(text_, size_);
        free(text_);
        return log;
    }

private:
    char* text_ = nullptr;
    size_t size_ = 0;
    FILE* memory_;
    FILE* saved_out_;
    FILE* saved_err_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    // Byte 0: whether a device is installed, the filter mode, whether the host has a SID.
    // Bytes 1 and 2: the identifiers' lengths in units of 4 (up to 1020 bytes, so that the
    // refusal of those of 512 bytes or more is reached).
    const bool installing = data[0] & 1, filter = data[0] & 2, has_sid = data[0] & 4;
    std::string device_id(data[1] * 4u, 'D'), hardware_id(data[2] * 4u, 'H');
    data += 3;
    size -= 3;

    usbdrv_device_entry device = {};
    device.device_id = device_id.empty() ? nullptr : &device_id[0];
    device.hardware_id = hardware_id.empty() ? nullptr : &hardware_id[0];
    installer_host_state state;
    state.device = installing ? &device : nullptr;
    state.filter_installer = filter;
    state.message_timeout_ms = 1234;
    recording_port port;
    if (has_sid)
        port.sid = "S-1-5-21-1-2-3-1001";

    std::vector<uint8_t> exact(data, data + size);
    exact.shrink_to_fit();
    usbdrv_set_log_threshold(USBDRV_LOG_DEBUG);
    log_capture capture;
    const int result = handle_installer_message(exact.data(), size, state, port);
    const std::string log = capture.end();

    const std::string from_handler = "usbdrv:error [process_message] ";
    if (size == 0) {
        check(result == USBDRV_ERR_INVALID_PARAM && log.empty(), "an empty message");
        return 0;
    }
    if (!installing) {
        check(result == USBDRV_ERR_NOT_FOUND &&
                  log == from_handler + "program assertion failed - no current device\n",
              "a message while nothing is installed");
        check(port.replies.empty(), "answered while nothing is installed");
        return 0;
    }
    if (filter) {
        // One line for each line of the output that is not empty.
        std::vector<std::string> pieces;
        std::string piece;
        for (size_t i = 0; i <= size; i++) {
            if (i == size || data[i] == '\r' || data[i] == '\n') {
                if (!piece.empty())
                    pieces.push_back(piece);
                piece.clear();
            } else {
                piece += static_cast<char>(data[i]);
            }
        }
        const std::vector<std::string> lines = lines_of(log);
        check(result == 0 && lines.size() == pieces.size(), "a line for each output line");
        for (size_t i = 0; i < lines.size(); i++) {
            check(one_line_of(lines[i], "usbdrv:info [install-filter] ", pieces[i]),
                  "the filter installer's output");
        }
        return 0;
    }

    const uint8_t code = data[0];
    const bool answered = code >= MSG_GET_DEVICE_ID && code <= MSG_GET_USER_SID;
    check(port.replies.size() == (answered ? 1u : 0u), "answers only the three requests");
    for (const std::string& reply : port.replies)
        check(!reply.empty() && reply.size() <= kIdentifierMax, "an answer the helper can read");
    check(state.message_timeout_ms == (code == MSG_SET_TIMEOUT_INFINITE  ? kNoTimeLimit
                                       : code == MSG_SET_TIMEOUT_DEFAULT ? kDefaultMessageTimeoutMs
                                                                         : 1234u),
          "only the hints change the time-out");

    switch (code) {
        case MSG_PRINT_MESSAGE:
        case MSG_SYSLOG_MESSAGE: {
            const char* kind = code == MSG_PRINT_MESSAGE ? "print_message" : "syslog_message";
            if (size < 2) {
                check(result == USBDRV_ERR_NOT_FOUND && log == from_handler + kind + ": no data\n",
                      "a text message without its text");
                break;
            }
            const char* text = reinterpret_cast<const char*>(data + 1);
            const size_t length = strnlen(text, size - 1);
            const std::string source = code == MSG_PRINT_MESSAGE ? "installer process" : "syslog";
            std::vector<std::string> lines = lines_of(log);
            if (length == size - 1) {
                check(!lines.empty() && lines[0] == "usbdrv:warning [process_message] malformed " +
                                                        std::string(kind) +
                                                        ": no terminating zero in its " +
                                                        std::to_string(length) + " bytes of text\n",
                      "a text without its zero byte");
                lines.erase(lines.begin());
            }
            check(result == 0 && lines.size() == 1 &&
                      one_line_of(lines[0], "usbdrv:debug [" + source + "] ",
                                  std::string(text, length)),
                  "a text message is one loggable line");
            break;
        }
        case MSG_GET_DEVICE_ID:
            check(result == 0 && port.replies[0] == answer_for(device_id), "the device ID");
            check(device_id.size() <= kIdentifierMax ||
                      has(log, "device_id of " + std::to_string(device_id.size()) + " bytes"),
                  "a refused device ID is logged");
            break;
        case MSG_GET_HARDWARE_ID:
            check(result == 0 && port.replies[0] == answer_for(hardware_id), "the hardware ID");
            check(hardware_id.size() <= kIdentifierMax ||
                      has(log, "hardware_id of " + std::to_string(hardware_id.size()) + " bytes"),
                  "a refused hardware ID is logged");
            break;
        case MSG_GET_USER_SID:
            check(result == 0 && port.replies[0] == answer_for(port.sid), "the user SID");
            check(has_sid || has(log, "no user_sid - sending empty string"), "no SID is logged");
            break;
        case MSG_SET_TIMEOUT_INFINITE:
        case MSG_SET_TIMEOUT_DEFAULT:
        case MSG_INSTALLER_COMPLETED:
            check(result == 0, "a hint or the end");
            break;
        case MSG_SET_STATUS:
            if (size < 2)
                check(
                    result == USBDRV_ERR_NOT_FOUND && log == from_handler + "set status: no data\n",
                    "a status without its byte");
            else
                check(result == static_cast<int8_t>(data[1]), "the status byte, signed");
            break;
        default:
            check(result == USBDRV_ERR_NOT_FOUND &&
                      log == from_handler + "unrecognized installer message\n",
                  "an undefined code");
            break;
    }
    return 0;
}
