// The install commands' package folder: below a full profile path that fits, or, for the console
// program, below its fallback.
#include "package_folder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kLongProfile = "C:\\" + std::string(245, 'p');  // 248 + 11 = 259

TEST(InstallFolder, IsBelowAFullProfilePathThatFits) {
    const struct {
        const char* profile;
        package_folder::outcome_kind outcome;
        std::string path;
    } rows[] = {
        {"C:\\users\\root", package_folder::ok, "C:\\users\\root\\usb_driver"},
        {"c:/users/root/", package_folder::ok, "c:/users/root/usb_driver"},
        {"\\\\server\\home", package_folder::ok, "\\\\server\\home\\usb_driver"},
        {"C:\\用户\\张三", package_folder::ok, "C:\\用户\\张三\\usb_driver"},
        {kLongProfile.c_str(), package_folder::ok, kLongProfile + "\\usb_driver"},
        // Not set, empty, or relative: the package would land below some other folder.
        {nullptr, package_folder::no_profile, ""},
        {"", package_folder::no_profile, ""},
        {"users\\root", package_folder::no_profile, ""},
        {"C:users", package_folder::no_profile, ""},
        {"\\users\\root", package_folder::no_profile, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.profile ? r.profile : "(not set)");
        package_folder folder = install_folder(r.profile);
        EXPECT_EQ(folder.outcome, r.outcome);
        EXPECT_EQ(folder.path, r.path);
        EXPECT_FALSE(folder.from_fallback);
    }
    // One byte more and the library would cut the path: it is refused whole.
    std::string too_long = kLongProfile + "p";
    EXPECT_EQ(install_folder(too_long.c_str()).outcome, package_folder::too_long);
    EXPECT_EQ(install_folder(too_long.c_str()).path, "");
}

// The console program's TEMP stands in for a profile that names no folder, under the same
// rules; a profile too long is reported, never replaced.
TEST(InstallFolder, AFallbackTakesThePlaceOfAMissingProfileOnly) {
    const std::string too_long = kLongProfile + "p";
    const struct {
        const char* profile;
        const char* fallback;
        package_folder::outcome_kind outcome;
        std::string path;
        bool from_fallback;
    } rows[] = {
        {"C:\\users\\root", "C:\\temp", package_folder::ok, "C:\\users\\root\\usb_driver", false},
        {nullptr, "C:\\temp", package_folder::ok, "C:\\temp\\usb_driver", true},
        {"", "C:\\temp\\", package_folder::ok, "C:\\temp\\usb_driver", true},
        {"relative", "C:\\temp", package_folder::ok, "C:\\temp\\usb_driver", true},
        {too_long.c_str(), "C:\\temp", package_folder::too_long, "", false},
        {nullptr, nullptr, package_folder::no_profile, "", false},
        {nullptr, "", package_folder::no_profile, "", true},
        {nullptr, "temp", package_folder::no_profile, "", true},
        {nullptr, too_long.c_str(), package_folder::too_long, "", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.profile ? r.profile : "(not set)") + " / " +
                     (r.fallback ? r.fallback : "(no fallback)"));
        package_folder folder = install_folder(r.profile, r.fallback);
        EXPECT_EQ(folder.outcome, r.outcome);
        EXPECT_EQ(folder.path, r.path);
        EXPECT_EQ(folder.from_fallback, r.from_fallback);
    }
}

}  // namespace
