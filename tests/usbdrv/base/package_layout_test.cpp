// The rules of a package's paths: a folder path split into the folder above it and its name,
// and the names of the folders a preparation writes a package into before it is complete.
#include <gtest/gtest.h>

#include <string>

#include "base/package_layout.h"

namespace {

TEST(PackageLayout, APathSplitsIntoTheFolderAboveAndItsName) {
    const struct {
        const char* path;
        const char* parent;  // null: a root, which has none
        const char* name;
    } rows[] = {
        {"C:\\a", "C:\\", "a"},
        {"C:\\a\\usb_driver", "C:\\a", "usb_driver"},
        {"C:\\a\\usb_driver\\\\", "C:\\a", "usb_driver"},  // separators at the end
        {"C:/a/b", "C:/a", "b"},
        {"C:\\", nullptr, ""},
        {"C:", nullptr, ""},
        {"\\\\server\\share\\pkg", "\\\\server\\share\\", "pkg"},
        {"\\\\server\\share\\a\\pkg", "\\\\server\\share\\a", "pkg"},
        {"\\\\server\\share\\", nullptr, ""},
        {"\\\\server\\share", nullptr, ""},
        {"\\\\?\\C:\\pkg", "\\\\?\\C:\\", "pkg"},
        {"\\\\?\\C:\\", nullptr, ""},
        {"\\\\?\\UNC\\server\\share\\pkg", "\\\\?\\UNC\\server\\share\\", "pkg"},
        {"\\\\?\\UNC\\server\\share", nullptr, ""},
        {"pkg", "", "pkg"},
        {"a\\pkg", "a", "pkg"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        const std::string path = r.path;
        const path_parts parts = split_path(r.path);
        EXPECT_EQ(path.substr(parts.name_offset, parts.name_length), r.name);
        if (r.parent) {
            EXPECT_EQ(path.substr(0, parts.parent_length), r.parent);
        } else {
            EXPECT_EQ(parts.name_length, 0u);
            EXPECT_EQ(parts.parent_length, path.size());
        }
    }
}

TEST(PackageLayout, AStagingFolderNameFitsTheRoomLeft) {
    const struct {
        uint32_t seed;
        size_t room;
        const char* name;
        bool recognised;  // as one a preparation made, to be deleted when it is left behind
    } rows[] = {
        {0x1A2B3C4D, 200, "~usbdrv.1a2b3c4d", true},
        {0x1A2B3C4D, 16, "~usbdrv.1a2b3c4d", true},
        {0x0000000F, 16, "~usbdrv.0000000f", true},
        {0x1A2B3C4D, 15, "~1a2b3c4d", false},
        {0x1A2B3C4D, 9, "~1a2b3c4d", false},
        {0x1A2B3C4D, 4, "~c4d", false},
        {0x1A2B3C4D, 2, "~d", false},
        {0x1A2B3C4D, 1, "d", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.room));
        char name[32];
        staging_folder_name(r.seed, r.room, name, sizeof name);
        EXPECT_STREQ(name, r.name);
        EXPECT_LE(std::string(name).size(), r.room);
        EXPECT_EQ(is_staging_folder_name(name), r.recognised);
    }
    // Only that very form: a user's folder of a similar name is never taken for one.
    for (const char* other :
         {"~usbdrv.1A2B3C4D", "~usbdrv.1a2b3c4", "~usbdrv.1a2b3c4d0", "~usbdrv.1a2b3c4g",
          "usbdrv.1a2b3c4d", "~usbdrv.", "", "~USBDRV.1a2b3c4d"}) {
        EXPECT_FALSE(is_staging_folder_name(other)) << other;
    }
    EXPECT_FALSE(is_staging_folder_name(nullptr));
}

}  // namespace
