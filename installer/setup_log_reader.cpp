#include "setup_log_reader.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "base/log.h"
#include "pipe_client.h"
#include "win/handles.h"
#include "win/utf8.h"

namespace {

constexpr const wchar_t* kCandidates[] = {L"\\inf\\setupapi.dev.log", L"\\setupapi.log",
                                          L"\\setupact.log"};
// The path of a candidate, in UTF-8 bytes with its zero byte.
constexpr size_t kPathBytes = 512;
// The most one pass reads. A pass that finds this much without a line break in it skips it: a
// line that long is no setup-log line, and holding it back would hold back the relay for ever.
constexpr size_t kPassBytes = 1 << 20;

void say(setup_log_reader_port& port, const char* format, ...) USBDRV_PRINTF(2, 3);
void say(setup_log_reader_port& port, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    port.log(line);
}

std::string utf8_of(const std::wstring& text) {
    unique_malloc<char> converted(utf16_to_utf8(text.c_str()));
    return converted ? converted.get() : "";
}

// The first candidate that opens, with its path; a path that does not fit is not cut (it would
// name another file) but passed over.
unique_file_handle open_setup_log(std::string& path) {
    DWORD length = GetEnvironmentVariableW(L"WINDIR", nullptr, 0);
    if (length == 0)
        return {};
    std::wstring windir(length, L'\0');
    length = GetEnvironmentVariableW(L"WINDIR", &windir[0], length);
    windir.resize(length);
    for (const wchar_t* name : kCandidates) {
        std::wstring candidate = windir + name;
        std::string text = utf8_of(candidate);
        if (text.empty() || text.size() >= kPathBytes)
            continue;
        unique_file_handle file(CreateFileW(candidate.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            path = text;
            return file;
        }
    }
    return {};
}

bool seek(HANDLE file, uint64_t offset) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, to, nullptr, FILE_BEGIN) != 0;
}

enum class pass_end { idle, relayed, failed };

// One pass: relays the complete lines written since `offset` and moves it past them.
pass_end relay_pass(HANDLE file, uint64_t& offset, setup_log_reader_port& port) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        say(port, "could not read syslog file size");
        return pass_end::failed;
    }
    const uint64_t end = static_cast<uint64_t>(size.QuadPart);
    if (end < offset) {
        say(port, "syslog became shorter (%llu bytes, %llu read) - reading it again from the start",
            static_cast<unsigned long long>(end), static_cast<unsigned long long>(offset));
        offset = 0;
    }
    if (end == offset)
        return pass_end::idle;
    const uint64_t waiting = end - offset;
    const size_t wanted = waiting < kPassBytes ? static_cast<size_t>(waiting) : kPassBytes;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[wanted + 1]);
    if (!buffer) {
        say(port, "could not allocate buffer to read syslog");
        return pass_end::failed;
    }
    if (!seek(file, offset)) {
        say(port, "Could not set syslog offset");
        return pass_end::failed;
    }
    DWORD read = 0;
    if (!ReadFile(file, buffer.get(), static_cast<DWORD>(wanted), &read, nullptr)) {
        say(port, "failed to read syslog");
        return pass_end::failed;
    }
    buffer[read] = '\0';
    size_t consumed = relay_log_lines(buffer.get(), read, port);
    if (consumed == 0 && read == kPassBytes && !memchr(buffer.get(), '\n', read) &&
        !memchr(buffer.get(), '\r', read)) {
        say(port, "skipped %lu bytes of syslog without a line break",
            static_cast<unsigned long>(read));
        consumed = read;
    }
    offset += consumed;
    return consumed == 0 ? pass_end::idle : pass_end::relayed;
}

// Relays what is written to the log from now on, until `stop` is set or a pass fails.
void follow(HANDLE file, const setup_log_reader_events& events, setup_log_reader_port& port) {
    LARGE_INTEGER end = {};
    if (!GetFileSizeEx(file, &end) || !seek(file, static_cast<uint64_t>(end.QuadPart))) {
        say(port, "Could not set syslog offset");
        return;
    }
    uint64_t offset = static_cast<uint64_t>(end.QuadPart);
    say(port, "syslog reader thread started");
    SetEvent(events.started);
    uint32_t delay = 0;
    while (WaitForSingleObject(events.stop, 0) != WAIT_OBJECT_0) {
        pass_end pass = relay_pass(file, offset, port);
        if (pass == pass_end::failed)
            return;
        delay = next_poll_delay(delay, pass == pass_end::relayed);
        if (delay == 0)
            Sleep(0);
        else if (WaitForSingleObject(events.stop, delay) == WAIT_OBJECT_0)
            return;
    }
}

class pipe_reader_port final : public setup_log_reader_port {
public:
    bool to_utf8(const char* line, size_t length, std::string& utf8) override {
        if (length > static_cast<size_t>(INT32_MAX))
            return false;
        const int count = static_cast<int>(length);
        int wide_length =
            MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, line, count, nullptr, 0);
        if (wide_length <= 0)
            return false;
        std::vector<wchar_t> wide(static_cast<size_t>(wide_length));
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, line, count, wide.data(),
                                wide_length) != wide_length) {
            return false;
        }
        int utf8_length =
            WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
        if (utf8_length <= 0)
            return false;
        utf8.resize(static_cast<size_t>(utf8_length));
        return WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, &utf8[0], utf8_length,
                                   nullptr, nullptr) == utf8_length;
    }
    void send(const uint8_t* message, size_t length) override { send_message(message, length); }
    void log(const std::string& line) override {
        usbdrv_log(USBDRV_LOG_INFO, "setup_log_reader", "%s", line.c_str());
    }
};

}  // namespace

void run_setup_log_reader(const setup_log_reader_events& events, setup_log_reader_port& port) {
    std::string path;
    unique_file_handle file = open_setup_log(path);
    if (!file) {
        say(port, "Could not open any syslog");
    } else {
        say(port, "using syslog '%s'", path.c_str());
        follow(file.get(), events, port);
    }
    say(port, "syslog reader thread terminating");
}

setup_log_reader_port& installer_pipe_reader_port() {
    static pipe_reader_port port;
    return port;
}
