// Splitting the setup log's new bytes into relayed lines, over a recording port.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/installer_protocol.h"
#include "base/setup_log_relay.h"

namespace {

// Converts every line unchanged, except one that holds the byte 0xFF.
class recording_port final : public setup_log_port {
public:
    std::vector<std::string> sent;  // whole messages
    bool to_utf8(const char* line, size_t length, std::string& utf8) override {
        if (memchr(line, '\xFF', length))
            return false;
        utf8.assign(line, length);
        return true;
    }
    void send(const uint8_t* message, size_t length) override {
        sent.emplace_back(reinterpret_cast<const char*>(message), length);
    }
};

std::string message(const std::string& text) {
    return std::string(1, MSG_SYSLOG_MESSAGE) + text + std::string(1, '\0');
}

TEST(SetupLogRelay, LinesAreSentAndTheUnfinishedRestIsLeft) {
    const std::string garbled = message(kGarbledLine);
    const struct {
        const char* name;
        std::string buffer;
        size_t consumed;
        std::vector<std::string> sent;
    } rows[] = {
        {"nothing", "", 0, {}},
        {"one line with LF", "abc\n", 4, {message("abc")}},
        {"CR LF and blank lines end one line",
         "abc\r\n\r\n\ndef\r\n",
         13,
         {message("abc"), message("def")}},
        {"an unfinished last line waits", "abc\ndef", 4, {message("abc")}},
        {"no line break at all", "abcdef", 0, {}},
        {"a leading LF is an empty line: the fallback", "\nabc\n", 5, {garbled, message("abc")}},
        {"a line that does not convert",
         "a\xFF"
         "b\nok\n",
         7,
         {garbled, message("ok")}},
        {"<ins> stops the relay at its line", "abc\n<ins>\ndef\n", 4, {message("abc")}},
        {"<ins> first: nothing consumed", "<ins>\r\nabc\n", 0, {}},
        {"<ins> as part of a line is text",
         "<ins> copy\n<ins>x\n",
         18,
         {message("<ins> copy"), message("<ins>x")}},
        {"an unfinished <ins> is an unfinished line", "abc\n<ins>", 4, {message("abc")}},
        {"a zero byte ends the line's text",
         std::string("ab\0cd\nef\n", 9),
         9,
         {message("ab"), message("ef")}},
        {"a zero byte first: the fallback", std::string("\0cd\n", 4), 4, {garbled}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        recording_port port;
        std::string before = r.buffer;
        EXPECT_EQ(relay_log_lines(r.buffer.data(), r.buffer.size(), port), r.consumed);
        EXPECT_EQ(port.sent, r.sent);
        EXPECT_EQ(r.buffer, before);
    }
}

TEST(SetupLogRelay, TheFallbackMessageIsExactlySixteenBytes) {
    recording_port port;
    relay_log_lines("\xFF\n", 2, port);
    ASSERT_EQ(port.sent.size(), 1u);
    EXPECT_EQ(port.sent[0].size(), 16u);
    EXPECT_EQ(port.sent[0], std::string("\x01<Garbled data>", 15) + std::string(1, '\0'));
}

TEST(SetupLogRelay, ANullBufferConsumesNothing) {
    recording_port port;
    EXPECT_EQ(relay_log_lines(nullptr, 10, port), 0u);
    EXPECT_TRUE(port.sent.empty());
}

TEST(SetupLogRelay, ALineFinishedInALaterPassIsSentOnce) {
    recording_port port;
    std::string log = "first\nsec";
    size_t offset = relay_log_lines(log.data(), log.size(), port);
    log += "ond\r";
    offset += relay_log_lines(log.data() + offset, log.size() - offset, port);
    // The LF of the CR LF pair arrives in the next pass: an empty first line.
    log += "\nthird\n";
    offset += relay_log_lines(log.data() + offset, log.size() - offset, port);
    EXPECT_EQ(offset, log.size());
    EXPECT_EQ(port.sent, (std::vector<std::string>{message("first"), message("second"),
                                                   message(kGarbledLine), message("third")}));
}

// The host refuses a message over its bound whole: a longer line is cut to fit, never in the
// middle of a character, and the cut is logged.
TEST(SetupLogRelay, ALineLongerThanAMessageMayBeIsCutToFit) {
    const std::string euro = "\xE2\x82\xAC";
    const struct {
        const char* name;
        std::string line;
        std::string sent;
        std::string logged;
    } rows[] = {
        {"the longest line travels whole", std::string(kSyslogTextMax, 'x'),
         std::string(kSyslogTextMax, 'x'), ""},
        {"a byte more is cut", std::string(kSyslogTextMax + 1, 'x'),
         std::string(kSyslogTextMax, 'x'),
         "a setup-log line of 65535 bytes is cut to its first 65534 bytes"},
        {"a character across the bound is left out whole",
         std::string(kSyslogTextMax - 1, 'x') + euro + "tail", std::string(kSyslogTextMax - 1, 'x'),
         "a setup-log line of 65540 bytes is cut to its first 65533 bytes"},
        {"a character that ends at the bound stays",
         std::string(kSyslogTextMax - 3, 'x') + euro + "tail",
         std::string(kSyslogTextMax - 3, 'x') + euro,
         "a setup-log line of 65538 bytes is cut to its first 65534 bytes"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        recording_port port;
        const std::string buffer = r.line + "\r\n";
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const size_t consumed = relay_log_lines(buffer.data(), buffer.size(), port);
        std::string log = testing::internal::GetCapturedStdout();
        log += testing::internal::GetCapturedStderr();
        EXPECT_EQ(consumed, buffer.size());
        ASSERT_EQ(port.sent.size(), 1u);
        EXPECT_EQ(port.sent[0], message(r.sent));
        EXPECT_LE(port.sent[0].size(), kMessageMax);
        if (r.logged.empty())
            EXPECT_EQ(log, "");
        else
            EXPECT_EQ(log, "usbdrv:warning [setup_log_relay] " + r.logged + "\n");
    }
}

TEST(SetupLogRelay, PollDelaysGrowByATenthOfASecondToHalfASecond) {
    uint32_t delay = 0;
    std::vector<uint32_t> idle;
    for (int pass = 0; pass < 7; pass++) {
        delay = next_poll_delay(delay, false);
        idle.push_back(delay);
    }
    EXPECT_EQ(idle, (std::vector<uint32_t>{100, 200, 300, 400, 500, 500, 500}));
    EXPECT_EQ(next_poll_delay(500, true), 0u);
    EXPECT_EQ(next_poll_delay(0, true), 0u);
}

}  // namespace
