// Devices of Android makers that get the fixed Android device interface GUID.
#pragma once

#include <cstdint>

struct usb_id_pair {
    uint16_t vid, pid;
};

enum { ANDROID_DEVICE_ID_COUNT = 128 };
extern const usb_id_pair android_device_ids[ANDROID_DEVICE_ID_COUNT];

// The interface GUID such devices get.
#define ANDROID_INTERFACE_GUID "{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}"

bool is_android_device(uint16_t vid, uint16_t pid);
