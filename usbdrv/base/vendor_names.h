// USB vendor names by vendor ID, from the public USB ID list (generated at build time by
// make_vendor_names.py from Debian's usb.ids).
#pragma once

#include <cstddef>
#include <cstdint>

struct usb_vendor_name {
    uint16_t vid;
    const char* name;  // UTF-8
};

// Sorted by vendor ID, each ID once.
extern const usb_vendor_name usb_vendor_names[];
extern const size_t usb_vendor_name_count;

// The vendor's name, or null for an ID the list does not have.
const char* usb_vendor_name_of(uint16_t vid);
