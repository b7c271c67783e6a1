#include <gtest/gtest.h>

#include "base/scan_string.h"

namespace {

TEST(ScanString, ReadsTheIdentifierPieces) {
    const struct {
        const char* text;
        const char* format;
        int assigned;
        unsigned value;
    } rows[] = {
        {"VID_1234", "VID_%04X", 1, 0x1234},  {"VID_abcd", "VID_%04X", 1, 0xABCD},
        {"VID_12345", "VID_%04X", 1, 0x1234},  // at most four digits
        {"VID_12", "VID_%04X", 1, 0x12},      {"VID_XYZ1", "VID_%04X", 0, 0},
        {"VID_", "VID_%04X", 0, 0},           {"PID_ABCD", "PID_%04X", 1, 0xABCD},
        {"MI_02", "MI_%02X", 1, 2},           {"MI_123", "MI_%02X", 1, 0x12},
        {"MI_zz", "MI_%02X", 0, 0},           {"", "VID_%04X", 0, 0},
    };
    for (const auto& r : rows) {
        unsigned value = 0;
        EXPECT_EQ(scan_string(r.text, r.format, &value), r.assigned) << r.text;
        EXPECT_EQ(value, r.value) << r.text;
    }
}

TEST(ScanString, NullTextOrFormatAssignsNothing) {
    unsigned value = 7;
    EXPECT_EQ(scan_string(nullptr, "VID_%04X", &value), 0);
    EXPECT_EQ(value, 7u);
}

}  // namespace
