// Compile-time checks only: the public records' layout.
#include <cstddef>

#include "usbdrv/usbdrv.h"

// The records cross the library's boundary in the 32-bit build with exactly these offsets and
// sizes: field order and widths are fixed, alignment is the platform's.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(usbdrv_device_entry, next) == 0);
static_assert(offsetof(usbdrv_device_entry, vid) == 4);
static_assert(offsetof(usbdrv_device_entry, pid) == 6);
static_assert(offsetof(usbdrv_device_entry, is_interface) == 8);
static_assert(offsetof(usbdrv_device_entry, interface_number) == 12);
static_assert(offsetof(usbdrv_device_entry, description) == 16);
static_assert(offsetof(usbdrv_device_entry, driver_name) == 20);
static_assert(offsetof(usbdrv_device_entry, device_id) == 24);
static_assert(offsetof(usbdrv_device_entry, hardware_id) == 28);
static_assert(offsetof(usbdrv_device_entry, compatible_id) == 32);
static_assert(offsetof(usbdrv_device_entry, upper_filter) == 36);
static_assert(offsetof(usbdrv_device_entry, driver_version) == 40);
static_assert(sizeof(usbdrv_device_entry) == 48);

static_assert(offsetof(usbdrv_list_options, include_with_driver) == 0);
static_assert(offsetof(usbdrv_list_options, include_hubs) == 4);
static_assert(offsetof(usbdrv_list_options, trim_trailing_space) == 8);
static_assert(sizeof(usbdrv_list_options) == 12);

static_assert(offsetof(usbdrv_prepare_options, driver_type) == 0);
static_assert(offsetof(usbdrv_prepare_options, manufacturer_name) == 4);
static_assert(offsetof(usbdrv_prepare_options, interface_guid) == 8);
static_assert(offsetof(usbdrv_prepare_options, no_catalog) == 12);
static_assert(offsetof(usbdrv_prepare_options, no_signing) == 16);
static_assert(offsetof(usbdrv_prepare_options, signer_subject) == 20);
static_assert(offsetof(usbdrv_prepare_options, match_compatible_id) == 24);
static_assert(sizeof(usbdrv_prepare_options) == 28);

static_assert(offsetof(usbdrv_install_options, progress_owner) == 0);
static_assert(offsetof(usbdrv_install_options, use_filter_installer) == 4);
static_assert(offsetof(usbdrv_install_options, pending_wait_ms) == 8);
static_assert(sizeof(usbdrv_install_options) == 12);

static_assert(offsetof(usbdrv_certificate_entry, next) == 0);
static_assert(offsetof(usbdrv_certificate_entry, store) == 4);
static_assert(offsetof(usbdrv_certificate_entry, subject) == 36);
static_assert(offsetof(usbdrv_certificate_entry, thumbprint) == 548);
static_assert(offsetof(usbdrv_certificate_entry, not_after) == 589);
static_assert(sizeof(usbdrv_certificate_entry) == 612);
#endif

// No pointers: the device state has one layout in every build.
static_assert(offsetof(usbdrv_device_state, present) == 0);
static_assert(offsetof(usbdrv_device_state, needs_restart) == 4);
static_assert(offsetof(usbdrv_device_state, service) == 8);
static_assert(offsetof(usbdrv_device_state, port_name) == 264);
static_assert(offsetof(usbdrv_device_state, inf_name) == 328);
static_assert(sizeof(usbdrv_device_state) == 392);

// Enumerations and results are 32-bit signed everywhere.
static_assert(sizeof(usbdrv_result) == 4 && sizeof(enum usbdrv_driver_type) == 4);
static_assert(sizeof(enum usbdrv_result_code) == 4);
