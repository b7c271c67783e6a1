// Lists the devices once with every option, as a second process: exits with 0 when the listing
// succeeded, 1 otherwise.
#include "usbdrv/usbdrv.h"

int main() {
    usbdrv_list_options options = {1, 1, 1};
    usbdrv_device_entry* list = nullptr;
    usbdrv_result result = usbdrv_create_list(&list, &options);
    usbdrv_destroy_list(list);
    return result == USBDRV_OK ? 0 : 1;
}
