#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/android_ids.h"
#include "base/vendor_names.h"

namespace {

TEST(UsbVendorNames, SortedWithEachIdOnce) {
    ASSERT_GT(usb_vendor_name_count, 3000u);
    for (size_t i = 1; i < usb_vendor_name_count; i++) {
        EXPECT_LT(usb_vendor_names[i - 1].vid, usb_vendor_names[i].vid) << i;
    }
}

TEST(UsbVendorNames, LookupByVendorId) {
    const struct {
        uint16_t vid;
        const char* name;  // null: not in the list
    } rows[] = {
        {0x1D6B, "Linux Foundation"},
        {0x05AC, "Apple, Inc."},
        {0x0403, "Future Technology Devices International, Ltd"},
        {0x05DB, "Sun Corp. (Suntac?)"},  // quotes and question marks survive the generator
        {0xC04A, nullptr},                // the placeholder's vendor ID belongs to nobody
        {0x0000, nullptr},
    };
    for (const auto& r : rows) {
        const char* name = usb_vendor_name_of(r.vid);
        if (r.name) {
            EXPECT_STREQ(name, r.name) << std::hex << r.vid;
        } else {
            EXPECT_EQ(name, nullptr) << std::hex << r.vid;
        }
    }
    EXPECT_STREQ(usb_vendor_name_of(usb_vendor_names[0].vid), usb_vendor_names[0].name);
    const usb_vendor_name& last = usb_vendor_names[usb_vendor_name_count - 1];
    EXPECT_STREQ(usb_vendor_name_of(last.vid), last.name);
}

TEST(AndroidDeviceIds, TheListAsGiven) {
    std::set<std::pair<int, int>> pairs;
    for (const usb_id_pair& p : android_device_ids)
        pairs.insert({p.vid, p.pid});
    EXPECT_EQ(pairs.size(), 127u);  // 18D1:708C stands twice
    EXPECT_EQ(android_device_ids[0].vid, 0x0451);
    EXPECT_EQ(android_device_ids[0].pid, 0xD022);
    EXPECT_EQ(android_device_ids[127].vid, 0x22B8);
    EXPECT_EQ(android_device_ids[127].pid, 0x70A9);
    EXPECT_TRUE(is_android_device(0x18D1, 0x4EE7));
    EXPECT_TRUE(is_android_device(0x0BB4, 0x0FFF));
    EXPECT_FALSE(is_android_device(0x18D1, 0x4EE8));
    EXPECT_FALSE(is_android_device(0x4EE7, 0x18D1));
    EXPECT_FALSE(is_android_device(0xC04A, 0x0C01));
}

}  // namespace
