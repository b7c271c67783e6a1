#include <gtest/gtest.h>

#include <string>

#include "base/catalog_rules.h"

namespace {

TEST(CatalogMemberKind, IsTheTextAfterTheLastDotInAnyCase) {
    const struct {
        const char* name;
        catalog_member_kind kind;
    } cases[] = {
        {"libusb0.sys", catalog_member_kind::pe_image},
        {"WdfCoInstaller01011.DLL", catalog_member_kind::pe_image},
        {"installer_x64.Exe", catalog_member_kind::pe_image},
        {"Corvane.inf", catalog_member_kind::flat_inf},
        {"package.tar.INF", catalog_member_kind::flat_inf},
        {"a..inf", catalog_member_kind::flat_inf},
        {"installer_license.txt", catalog_member_kind::none},
        {"driver.inf.txt", catalog_member_kind::none},
        {"driver.infx", catalog_member_kind::none},
        {"driver.in", catalog_member_kind::none},
        {"driver.", catalog_member_kind::none},
        {".inf", catalog_member_kind::none},  // its only "." is its first character
        {"README", catalog_member_kind::none},
        {"", catalog_member_kind::none},
        {nullptr, catalog_member_kind::none},
    };
    for (const auto& c : cases)
        EXPECT_EQ(catalog_member_kind_of(c.name), c.kind) << (c.name ? c.name : "(null)");
}

TEST(HashTag, IsFortyUpperCaseDigitsFirstByteFirst) {
    const uint8_t hash[kFileHashBytes] = {0x00, 0x01, 0x0A, 0x10, 0x7F, 0x80, 0xAB,
                                          0xCD, 0xEF, 0xFF, 0x12, 0x34, 0x56, 0x78,
                                          0x9A, 0xBC, 0xDE, 0xF0, 0x0F, 0xF0};
    EXPECT_STREQ(hash_tag_of(hash).text, "00010A107F80ABCDEFFF123456789ABCDEF00FF0");
}

TEST(LowerAscii, LowersOnlyTheLettersAToZ) {
    char text[] = "USB\\VID_C04A&PID_0C02&MI_00 \xC3\x84Z@[";  // "Ä" stays as it is
    lower_ascii(text);
    EXPECT_STREQ(text, "usb\\vid_c04a&pid_0c02&mi_00 \xC3\x84z@[");
    wchar_t wide[] = L"Corvane.INF \u00C4";
    lower_ascii(wide);
    EXPECT_STREQ(wide, L"corvane.inf \u00C4");
}

}  // namespace
