#include "base/vendor_names.h"

const char* usb_vendor_name_of(uint16_t vid) {
    size_t low = 0, high = usb_vendor_name_count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (usb_vendor_names[middle].vid < vid) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low < usb_vendor_name_count && usb_vendor_names[low].vid == vid
               ? usb_vendor_names[low].name
               : nullptr;
}
