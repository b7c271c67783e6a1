// The install commands' package folder: below a full profile path that fits, or, for the console
// program, below its fallback when no profile is set.
#include "package_folder.h"

#include <gtest/gtest.h>

#include <string>

#include "utf16_text.h"

namespace {

const std::u16string kLongProfile = u"C:\\" + std::u16string(245, u'p');  // 248 + 11 = 259

std::u16string profile_of(size_t length) {
    return u"C:\\" + std::u16string(length - 3, u'p');
}

std::string utf8(const char16_t* text) {
    return text ? utf8_from_utf16(text).utf8 : "(not set)";
}

TEST(InstallFolder, IsBelowAFullProfilePathThatFits) {
    const std::u16string too_long = kLongProfile + u"p";
    // 82 Chinese characters are 246 bytes of UTF-8: with "C:\" and "\usb_driver", 260.
    const std::u16string chinese = u"C:\\" + std::u16string(82, u'用');
    const std::u16string huge = profile_of(32766);  // the longest variable the system keeps
    const struct {
        const char16_t* profile;
        package_folder::outcome_kind outcome;
        std::string path;
        size_t path_bytes;
    } rows[] = {
        {u"C:\\users\\root", package_folder::ok, "C:\\users\\root\\usb_driver", 0},
        {u"c:/users/root/", package_folder::ok, "c:/users/root/usb_driver", 0},
        {u"\\\\server\\home", package_folder::ok, "\\\\server\\home\\usb_driver", 0},
        {u"C:\\用户\\张三", package_folder::ok, "C:\\用户\\张三\\usb_driver", 0},
        {kLongProfile.c_str(), package_folder::ok, utf8(kLongProfile.c_str()) + "\\usb_driver", 0},
        // Not set, or empty: nothing names a folder.
        {nullptr, package_folder::not_set, "", 0},
        {u"", package_folder::not_set, "", 0},
        // Relative: the package would land below some other folder.
        {u"users\\root", package_folder::not_full_path, "", 0},
        {u"C:users", package_folder::not_full_path, "", 0},
        {u"\\users\\root", package_folder::not_full_path, "", 0},
        // One byte more and the library would cut the path: it is refused whole, with its size.
        {too_long.c_str(), package_folder::too_long, "", 260},
        {chinese.c_str(), package_folder::too_long, "", 260},
        {huge.c_str(), package_folder::too_long, "", 32766 + 11},
        // A lone surrogate would become U+FFFD and name another folder.
        {u"C:\\users\\\xD800", package_folder::not_text, "", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(utf8(r.profile));
        package_folder folder = install_folder(r.profile);
        EXPECT_EQ(folder.outcome, r.outcome);
        EXPECT_EQ(folder.path, r.path);
        EXPECT_EQ(folder.path_bytes, r.path_bytes);
        EXPECT_FALSE(folder.from_fallback);
    }
    package_folder bad = install_folder(u"C:\\users\\\xDC01x");
    EXPECT_EQ(bad.bad_at, 9u);
    EXPECT_EQ(bad.bad_unit, 0xDC01);
}

// Around the lengths where a profile stops fitting: 248 fits, 249 does not, and a profile of
// 1,024 characters and more is refused the same way (never taken for one that is not set).
TEST(InstallFolder, AProfileTooLongIsRefusedAtEveryLength) {
    for (size_t length : {248, 249, 1023, 1024, 1025, 4096}) {
        SCOPED_TRACE(length);
        std::u16string profile = profile_of(length);
        package_folder folder = install_folder(profile.c_str(), u"C:\\temp");
        EXPECT_EQ(folder.outcome, length <= 248 ? package_folder::ok : package_folder::too_long);
        EXPECT_FALSE(folder.from_fallback);
        EXPECT_EQ(folder.path_bytes, length <= 248 ? 0 : length + 11);
    }
}

// The console program's TEMP stands in for a profile that is not set, under the same rules; a
// profile that is set is used or reported, never replaced.
TEST(InstallFolder, AFallbackTakesThePlaceOfAProfileThatIsNotSetOnly) {
    const std::u16string too_long = kLongProfile + u"p";
    const struct {
        const char16_t* profile;
        const char16_t* fallback;
        package_folder::outcome_kind outcome;
        std::string path;
        bool from_fallback;
    } rows[] = {
        {u"C:\\users\\root", u"C:\\temp", package_folder::ok, "C:\\users\\root\\usb_driver", false},
        {nullptr, u"C:\\temp", package_folder::ok, "C:\\temp\\usb_driver", true},
        {u"", u"C:\\temp\\", package_folder::ok, "C:\\temp\\usb_driver", true},
        {u"relative", u"C:\\temp", package_folder::not_full_path, "", false},
        {too_long.c_str(), u"C:\\temp", package_folder::too_long, "", false},
        {u"C:\\\xD800", u"C:\\temp", package_folder::not_text, "", false},
        {nullptr, nullptr, package_folder::not_set, "", false},
        {nullptr, u"", package_folder::not_set, "", true},
        {nullptr, u"temp", package_folder::not_full_path, "", true},
        {nullptr, too_long.c_str(), package_folder::too_long, "", true},
        {nullptr, u"C:\\\xDFFF", package_folder::not_text, "", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(utf8(r.profile) + " / " + (r.fallback ? utf8(r.fallback) : "(no fallback)"));
        package_folder folder = install_folder(r.profile, r.fallback);
        EXPECT_EQ(folder.outcome, r.outcome);
        EXPECT_EQ(folder.path, r.path);
        EXPECT_EQ(folder.from_fallback, r.from_fallback);
    }
}

}  // namespace
