#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "base/driver_kinds.h"
#include "base/result_texts.h"
#include "usbdrv/usbdrv.h"

namespace {

bool listed(usbdrv_result code) {
    for (size_t i = 0; i < kResultTextCount; i++) {
        if (kResultTexts[i].code == code)
            return true;
    }
    return false;
}

// What an unlisted code must read, formatted without the module's bound.
std::string unknown_error(usbdrv_result code) {
    char text[64];
    snprintf(text, sizeof text, kUnknownErrorFormat, (int)code);
    return text;
}

TEST(Strerror, ListedCodesGiveTheirOwnConstantText) {
    std::set<usbdrv_result> codes;
    for (size_t i = 0; i < kResultTextCount; i++) {
        const result_text& row = kResultTexts[i];
        SCOPED_TRACE(row.code);
        EXPECT_TRUE(codes.insert(row.code).second) << "listed twice";
        EXPECT_NE(row.text[0], '\0');
        // The row's constant itself, not the buffer of unlisted codes.
        EXPECT_EQ(usbdrv_strerror(row.code), row.text);
    }
}

TEST(Strerror, EveryCodeOfTheInterfaceIsListed) {
    for (usbdrv_result code = USBDRV_ERR_UNSIGNED; code <= USBDRV_OK; code++)
        EXPECT_TRUE(listed(code)) << code;
    EXPECT_TRUE(listed(USBDRV_ERR_OTHER));
}

TEST(Strerror, UnlistedCodesAreFormattedWholeIntoOneSharedBuffer) {
    // Next to each end of the listed ranges, and the ends of int32.
    const usbdrv_result codes[] = {USBDRV_ERR_UNSIGNED - 1,
                                   USBDRV_OK + 1,
                                   USBDRV_ERR_OTHER + 1,
                                   USBDRV_ERR_OTHER - 1,
                                   -1000,
                                   INT_MIN,
                                   INT_MAX};
    for (usbdrv_result code : codes) {
        SCOPED_TRACE(code);
        ASSERT_FALSE(listed(code));
        const char* text = usbdrv_strerror(code);
        EXPECT_EQ(text, unknown_error(code));
        EXPECT_LT(strlen(text), kUnknownErrorTextSize);
    }

    const char* first = usbdrv_strerror(-20);
    const char* second = usbdrv_strerror(-21);
    EXPECT_EQ(first, second);  // the next unlisted code overwrites the text
    EXPECT_EQ(first, unknown_error(-21));
    // A listed code does not touch the buffer.
    usbdrv_strerror(USBDRV_ERR_BUSY);
    EXPECT_EQ(first, unknown_error(-21));
}

TEST(DriverKinds, EachKindHasADisplayNameOfItsOwn) {
    std::set<std::string> names;
    for (int kind = USBDRV_DRIVER_WINUSB; kind <= USBDRV_DRIVER_USER; kind++) {
        ASSERT_NE(driver_display_names[kind], nullptr) << kind;
        EXPECT_NE(driver_display_names[kind][0], '\0') << kind;
        names.insert(driver_display_names[kind]);
    }
    EXPECT_EQ(names.size(), (size_t)USBDRV_DRIVER_TYPE_COUNT);
}

}  // namespace
