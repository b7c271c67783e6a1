// The time-stamped line of both programs' log files.
#include "log_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const log_time kTime = {2026, 12, 10, 7, 5, 9, 7};
const std::string kStamp = "2026-12-10 07:05:09.007 ";

TEST(LogLine, IsOneStampedLinePerEntry) {
    const std::string chinese = "\xE4\xB8\xAD\xE6\x96\x87";  // 中文, three bytes each
    const struct {
        std::string text;
        std::string line;
    } rows[] = {
        {"usbdrv:info [check_dir] made", kStamp + "usbdrv:info [check_dir] made\r\n"},
        {"", kStamp + "\r\n"},
        // A message's own line end is not a second line.
        {"Unable to locate X() in y.dll\n", kStamp + "Unable to locate X() in y.dll\r\n"},
        {"ends\r\n\r\n", kStamp + "ends\r\n"},
        // Inner breaks would start lines without a stamp.
        {"first\nsecond\r\nthird\r", kStamp + "first second  third\r\n"},
        {"tab\tand " + chinese, kStamp + "tab\tand " + chinese + "\r\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(log_line(kTime, r.text), r.line);
    }
    log_time late = {2099, 1, 31, 23, 59, 59, 999};
    EXPECT_EQ(log_line(late, "x"), "2099-01-31 23:59:59.999 x\r\n");
}

TEST(LogLine, ALongMessageIsCutAtACharacterAndSaysSo) {
    const std::string full(kLogMessageMax, 'x');
    EXPECT_EQ(log_line(kTime, full), kStamp + full + "\r\n");
    EXPECT_EQ(log_line(kTime, full + "\n"), kStamp + full + "\r\n");  // the break is not counted
    EXPECT_EQ(log_line(kTime, full + "yz"), kStamp + full + " [2 more bytes]\r\n");

    // A three-byte character across the bound is left out whole.
    const std::string chinese = "\xE4\xB8\xAD";
    std::string text(kLogMessageMax - 1, 'x');
    text += chinese;
    EXPECT_EQ(log_line(kTime, text),
              kStamp + std::string(kLogMessageMax - 1, 'x') + " [3 more bytes]\r\n");
    text = std::string(kLogMessageMax - 3, 'x') + chinese + "a";
    EXPECT_EQ(log_line(kTime, text),
              kStamp + std::string(kLogMessageMax - 3, 'x') + chinese + " [1 more bytes]\r\n");

    // A megabyte without a break is one line of bounded size.
    std::string huge(1 << 20, 'h');
    EXPECT_LT(log_line(kTime, huge).size(), kLogMessageMax + 64);
}

}  // namespace
