// The installer pipe's framing and the host's handler, over a recording port.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/installer_protocol.h"
#include "base/log.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes b(std::initializer_list<int> values) {
    bytes out;
    for (int v : values)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

bytes with_code(uint8_t code, const std::string& payload) {
    bytes out(1 + payload.size());
    out[0] = code;
    std::copy(payload.begin(), payload.end(), out.begin() + 1);
    return out;
}

TEST(InstallerFraming, ALogTextOf254BytesTravelsWholeALongerOneIsCut) {
    const struct {
        size_t text_length;
        size_t sent;
        size_t kept;
    } rows[] = {{0, 2, 0}, {3, 5, 3}, {254, 256, 254}, {255, 256, 254}, {1000, 256, 254}};
    for (const auto& r : rows) {
        log_message message;
        memset(&message, 0x55, sizeof message);
        std::string text(r.text_length, 'a');
        size_t sent = frame_log_text(message, text.c_str());
        EXPECT_EQ(sent, r.sent) << r.text_length;
        EXPECT_EQ(message.code, MSG_PRINT_MESSAGE);
        EXPECT_EQ(std::string(message.text), std::string(r.kept, 'a')) << r.text_length;
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&message)[sent - 1], 0) << r.text_length;
    }
    log_message message;
    size_t sent = frame_log_text(message, "abc");
    EXPECT_EQ(
        bytes(reinterpret_cast<uint8_t*>(&message), reinterpret_cast<uint8_t*>(&message) + sent),
        b({0x00, 0x61, 0x62, 0x63, 0x00}));
}

TEST(InstallerFraming, StatusBytesAreTheResultsLowEightBitsReadBackSigned) {
    const struct {
        usbdrv_result status;
        uint8_t byte;
    } rows[] = {{USBDRV_OK, 0x00},
                {USBDRV_ERR_NOT_FOUND, 0xFB},
                {USBDRV_ERR_EXISTS, 0xF3},
                {USBDRV_ERR_OTHER, 0x9D},
                {USBDRV_ERR_WOW64, 0xF0}};
    for (const auto& r : rows) {
        status_message message = make_status_message(r.status);
        EXPECT_EQ(message.code, MSG_SET_STATUS);
        EXPECT_EQ(message.status, r.byte) << r.status;
        EXPECT_EQ(status_of(r.byte), r.status);
    }
}

TEST(InstallerFraming, ASetupLogLineEndsInItsZeroByte) {
    uint8_t out[8];
    ASSERT_EQ(frame_syslog_line("abc", out, sizeof out), 5u);
    EXPECT_EQ(bytes(out, out + 5), b({0x01, 0x61, 0x62, 0x63, 0x00}));
    EXPECT_EQ(frame_syslog_line("abcdefg", out, sizeof out), 0u) << "does not fit";
    EXPECT_EQ(frame_syslog_line("", out, sizeof out), 2u);
}

// The handler's system side: what it wrote, and the SID it is given.
class recording_port final : public installer_host_port {
public:
    std::vector<bytes> replies;
    const char* sid = "S-1-5-21-1-2-3-1001";

    void write_reply(const void* data, size_t length) override {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        replies.emplace_back(p, p + length);
    }
    bool user_sid(char* text, size_t capacity) override {
        if (!sid)
            return false;
        snprintf(text, capacity, "%s", sid);
        return true;
    }
};

struct handled {
    int result;
    std::string log;
    std::vector<bytes> replies;
};

handled handle(const bytes& message, installer_host_state& state,
               recording_port port = recording_port()) {
    int saved = usbdrv_log_threshold;
    usbdrv_set_log_threshold(USBDRV_LOG_DEBUG);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // A heap block of exactly the message's size, so that a read past it is caught.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[message.size() ? message.size() : 1]);
    if (!message.empty())
        memcpy(exact.get(), message.data(), message.size());
    handled h;
    h.result = handle_installer_message(exact.get(), message.size(), state, port);
    h.log = testing::internal::GetCapturedStdout();
    h.log += testing::internal::GetCapturedStderr();
    usbdrv_set_log_threshold(saved);
    h.replies = port.replies;
    return h;
}

usbdrv_device_entry device_with(char* device_id, char* hardware_id) {
    usbdrv_device_entry d = {};
    d.device_id = device_id;
    d.hardware_id = hardware_id;
    return d;
}

char kDeviceId[] = "USB\\VID_C04A&PID_0C02&MI_00\\7&2F1C3A5&0&0000";
char kHardwareId[] = "USB\\VID_C04A&PID_0C02&REV_0100&MI_00";

TEST(InstallerHostHandler, EveryCodeAndEveryMalformedMessage) {
    const std::string kText = "usbdrv:debug [process_message] ";
    const std::string kError = "usbdrv:error [process_message] ";
    const struct {
        const char* name;
        bytes message;
        int result;
        std::string log;
    } rows[] = {
        {"empty", {}, USBDRV_ERR_INVALID_PARAM, ""},
        {"log text", b({0, 'a', 'b', 'c', 0}), 0, "usbdrv:debug [installer process] abc\n"},
        {"log text ends at its zero byte", b({0, 'a', 0, 'b', 0}), 0,
         "usbdrv:debug [installer process] a\n"},
        {"log text is no format", with_code(0, std::string("%s%n", 4) + '\0'), 0,
         "usbdrv:debug [installer process] %s%n\n"},
        {"log code alone", b({0}), USBDRV_ERR_NOT_FOUND, kError + "print_message: no data\n"},
        {"log text without its zero byte", b({0, 'a', 'b', 'c'}), 0,
         "usbdrv:warning [process_message] malformed print_message: no terminating zero in its "
         "3 bytes of text\nusbdrv:debug [installer process] abc\n"},
        {"setup-log line", b({1, 'l', 'n', 0}), 0, "usbdrv:debug [syslog] ln\n"},
        {"setup-log code alone", b({1}), USBDRV_ERR_NOT_FOUND,
         kError + "syslog_message: no data\n"},
        {"setup-log line without its zero byte", b({1, 'x'}), 0,
         "usbdrv:warning [process_message] malformed syslog_message: no terminating zero in its "
         "1 bytes of text\nusbdrv:debug [syslog] x\n"},
        {"infinite time-out", b({5}), 0, kText + "switching timeout to infinite\n"},
        {"default time-out", b({6}), 0, kText + "switching timeout back to finite\n"},
        {"status 0 reads on", b({7, 0x00}), 0, ""},
        {"status 0xF3", b({7, 0xF3}), USBDRV_ERR_EXISTS, ""},
        {"status 0x9D", b({7, 0x9D}), USBDRV_ERR_OTHER, ""},
        {"status with a byte more", b({7, 0xF3, 0x00}), USBDRV_ERR_EXISTS, ""},
        {"status code alone is no status 0", b({7}), USBDRV_ERR_NOT_FOUND,
         kError + "set status: no data\n"},
        {"completed", b({8}), 0, kText + "installer process completed\n"},
        {"code 9", b({9}), USBDRV_ERR_NOT_FOUND, kError + "unrecognized installer message\n"},
        {"code 255 with payload", b({255, 1, 2}), USBDRV_ERR_NOT_FOUND,
         kError + "unrecognized installer message\n"},
    };
    usbdrv_device_entry device = device_with(kDeviceId, kHardwareId);
    for (const auto& r : rows) {
        installer_host_state state;
        state.device = &device;
        handled h = handle(r.message, state);
        EXPECT_EQ(h.result, r.result) << r.name;
        EXPECT_EQ(h.log, r.log) << r.name;
        EXPECT_TRUE(h.replies.empty()) << r.name;
    }
}

// What the helper sends can neither end its line nor start one that looks like the library's
// own, nor drive the terminal that shows it: each text is one line, escaped.
TEST(InstallerHostHandler, AHelpersTextIsOneEscapedLine) {
    const std::string kForged = "done\nusbdrv:info [install_driver_internal] installed OK";
    const std::string kEscaped = "done\\nusbdrv:info [install_driver_internal] installed OK";
    const struct {
        const char* name;
        std::string text;
        std::string logged;
    } rows[] = {
        {"a line feed and a forged line", kForged, kEscaped},
        {"a carriage return that would overwrite the line", "ok\rusbdrv:error [x] y",
         "ok\\rusbdrv:error [x] y"},
        {"an ANSI escape sequence", "\x1B[1A\x1B[2Kinstalled", "\\x1B[1A\\x1B[2Kinstalled"},
        {"invalid UTF-8", "caf\xE9 \xC0\xAF", "caf\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD"},
        {"valid UTF-8 as it is", "\xE8\x99\x9A\xE6\x8B\x9F", "\xE8\x99\x9A\xE6\x8B\x9F"},
    };
    usbdrv_device_entry device = device_with(kDeviceId, kHardwareId);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        for (uint8_t code : {MSG_PRINT_MESSAGE, MSG_SYSLOG_MESSAGE}) {
            const std::string source = code == MSG_PRINT_MESSAGE ? "installer process" : "syslog";
            installer_host_state state;
            state.device = &device;
            handled h = handle(with_code(code, r.text + std::string(1, '\0')), state);
            EXPECT_EQ(h.result, 0);
            EXPECT_EQ(h.log, "usbdrv:debug [" + source + "] " + r.logged + "\n");
            // Without its zero byte: the malformed line first, then the same one line.
            handled cut = handle(with_code(code, r.text), state);
            EXPECT_EQ(cut.log.substr(cut.log.find('\n') + 1),
                      "usbdrv:debug [" + source + "] " + r.logged + "\n");
        }
    }
}

TEST(InstallerHostHandler, TimeOutHintsChangeTheStateThatOutlivesAMessage) {
    usbdrv_device_entry device = device_with(kDeviceId, kHardwareId);
    installer_host_state state;
    state.device = &device;
    EXPECT_EQ(state.message_timeout_ms, 10000u);
    handle(b({5}), state);
    EXPECT_EQ(state.message_timeout_ms, kNoTimeLimit);
    handle(b({8}), state);
    EXPECT_EQ(state.message_timeout_ms, kNoTimeLimit);
    handle(b({6}), state);
    EXPECT_EQ(state.message_timeout_ms, 10000u);
}

TEST(InstallerHostHandler, WithoutADeviceEveryMessageIsRefused) {
    installer_host_state state;
    for (const bytes& message : {b({0, 'a', 0}), b({2}), b({7, 0})}) {
        handled h = handle(message, state);
        EXPECT_EQ(h.result, USBDRV_ERR_NOT_FOUND);
        EXPECT_EQ(h.log,
                  "usbdrv:error [process_message] program assertion failed - no current device\n");
        EXPECT_TRUE(h.replies.empty());
    }
    EXPECT_EQ(handle({}, state).result, USBDRV_ERR_INVALID_PARAM) << "length is looked at first";
}

TEST(InstallerHostHandler, AnswersEachIdentifierOrOneZeroByte) {
    std::string longest(kIdentifierMax, 'L');
    std::string too_long(kIdentifierMax + 1, 'T');
    const struct {
        const char* name;
        char* device_id;
        char* hardware_id;
        const char* sid;
        int request;
        bytes reply;
        std::string log;
    } rows[] = {
        {"device ID", kDeviceId, kHardwareId, "S-1-5-18", 2,
         bytes(kDeviceId, kDeviceId + strlen(kDeviceId)),
         "usbdrv:debug [process_message] got request for device_id\n"},
        {"hardware ID", kDeviceId, kHardwareId, "S-1-5-18", 3,
         bytes(kHardwareId, kHardwareId + strlen(kHardwareId)),
         "usbdrv:debug [process_message] got request for hardware_id\n"},
        {"user SID, nothing logged", kDeviceId, kHardwareId, "S-1-5-18", 4,
         b({'S', '-', '1', '-', '5', '-', '1', '8'}), ""},
        {"no device ID", nullptr, kHardwareId, "S-1-5-18", 2, b({0}),
         "usbdrv:debug [process_message] got request for device_id\n"
         "usbdrv:debug [process_message] no device_id - sending empty string\n"},
        {"empty hardware ID", kDeviceId, const_cast<char*>(""), "S-1-5-18", 3, b({0}),
         "usbdrv:debug [process_message] got request for hardware_id\n"
         "usbdrv:debug [process_message] no hardware_id - sending empty string\n"},
        {"no user SID", kDeviceId, kHardwareId, nullptr, 4, b({0}),
         "usbdrv:warning [process_message] no user_sid - sending empty string\n"},
        {"hardware ID of 511 bytes", kDeviceId, &longest[0], "S-1-5-18", 3,
         bytes(longest.begin(), longest.end()),
         "usbdrv:debug [process_message] got request for hardware_id\n"},
        {"hardware ID of 512 bytes", kDeviceId, &too_long[0], "S-1-5-18", 3, b({0}),
         "usbdrv:debug [process_message] got request for hardware_id\n"
         "usbdrv:error [process_message] hardware_id of 512 bytes is longer than the installer "
         "can take (at most 511) - sending empty string\n"},
    };
    for (const auto& r : rows) {
        usbdrv_device_entry device = device_with(r.device_id, r.hardware_id);
        installer_host_state state;
        state.device = &device;
        recording_port port;
        port.sid = r.sid;
        handled h = handle(b({r.request}), state, port);
        EXPECT_EQ(h.result, 0) << r.name;
        ASSERT_EQ(h.replies.size(), 1u) << r.name;
        EXPECT_EQ(h.replies[0], r.reply) << r.name;
        EXPECT_EQ(h.log, r.log) << r.name;
    }
}

TEST(InstallerHostHandler, TheFilterInstallersOutputIsTextWhateverItsFirstByte) {
    usbdrv_device_entry device = device_with(kDeviceId, kHardwareId);
    installer_host_state state;
    state.device = &device;
    state.filter_installer = true;
    const std::string kLine = "usbdrv:info [install-filter] ";
    const struct {
        bytes chunk;
        std::string log;
    } rows[] = {
        {with_code(7, "\xF3 installed"), kLine + "\\x07\xEF\xBF\xBD installed\n"},
        {b({'o', 'k', '\n'}), kLine + "ok\n"},
        {b({'%', 's'}), kLine + "%s\n"},
        // Console output: one line for each of its lines, empty ones left out.
        {with_code('\r', "\n\r\ninstalling\r\n\r\ndone\r\n"),
         kLine + "installing\n" + kLine + "done\n"},
        {with_code('\n', "usbdrv:info [install_driver_internal] installed OK\x1B[8m"),
         kLine + "usbdrv:info [install_driver_internal] installed OK\\x1B[8m\n"},
        {b({'\n', '\r'}), ""},
        {b({'a', 0, 'b'}), kLine + "a\\x00b\n"},
    };
    for (const auto& r : rows) {
        handled h = handle(r.chunk, state);
        EXPECT_EQ(h.result, 0);
        EXPECT_EQ(h.log, r.log);
    }
    EXPECT_EQ(handle({}, state).result, USBDRV_ERR_INVALID_PARAM);
}

}  // namespace
