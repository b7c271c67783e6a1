#include <windows.h>

#include <gtest/gtest.h>

#include "win/guid_text.h"

namespace {

TEST(GuidToString, UpperCaseWithData4InStorageOrder) {
    const GUID bus_reported = {
        0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}};
    EXPECT_STREQ(guid_to_string(bus_reported), "{540B947E-8B40-45BC-A8A2-6A0B894CBDA2}");
    const GUID small = {0x1, 0x2, 0x3, {0, 1, 2, 3, 4, 5, 6, 0xF}};
    EXPECT_STREQ(guid_to_string(small), "{00000001-0002-0003-0001-02030405060F}");
}

TEST(GuidToString, OneBufferOverwrittenByTheNextCall) {
    const char* first = guid_to_string(GUID{});
    const char* second = guid_to_string(
        GUID{0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}});
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}");
}

}  // namespace
