// Devices of Android makers that get the fixed Android device interface GUID.
#pragma once

#include <cstddef>
#include <cstdint>

struct usb_id_pair {
    uint16_t vid, pid;
};

constexpr size_t kAndroidDeviceIdCount = 128;
extern const usb_id_pair android_device_ids[kAndroidDeviceIdCount];

// The interface GUID such devices get.
constexpr char kAndroidInterfaceGuid[] = "{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";

bool is_android_device(uint16_t vid, uint16_t pid);
