// What both programs decide about devices and packages: the placeholder device, the INF name,
// the request a package is prepared with, which listed devices are CDC serial interfaces and
// which are bound to the serial driver. No Windows call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "usbdrv/usbdrv.h"

// The device a package is made for while none is connected or given: a vendor ID that the
// public USB ID list assigns to nobody, so the defaults never name another maker's product,
// and the product ID this tool uses for its virtual COM port.
constexpr uint16_t kPlaceholderVid = 0xC04A;
constexpr uint16_t kPlaceholderPid = 0x0C01;
constexpr uint8_t kPlaceholderInterface = 0;
constexpr char kPlaceholderName[] = "Virtual COM Port";

// The INF every package gets, and the folder name a package is written into.
constexpr char kInfName[] = "Corvane.inf";
constexpr char kPackageFolderName[] = "usb_driver";

// The bytes a description takes in the INF: its UTF-8 with each double quote doubled, as the
// INF's strings write it. A package carries at most USBDRV_DESCRIPTION_MAX of them; the programs
// refuse a longer one before anything is written, rather than have it cut or refused midway.
size_t inf_description_bytes(std::string_view utf8);
bool description_fits_inf(std::string_view utf8);

// The service of the system's serial driver, which gives its devices a COM port.
constexpr char kSerialDriverService[] = "usbser";

// The record usbdrv_prepare_driver reads: an interface of a composite device with these
// identifiers and description (which the caller keeps alive for the call).
usbdrv_device_entry package_entry(uint16_t vid, uint16_t pid, uint8_t interface_number,
                                  char* description);
// The preparation's options: the CDC kind, everything else as the library chooses.
usbdrv_prepare_options package_options();

// A CDC serial interface: an interface of a composite device whose first compatible ID begins
// with "USB\Class_02". IDs are ASCII, so the case is compared byte by byte, never by the code
// page: a code page's upper-casing can take an ID's bytes for part of a character.
bool is_cdc_interface(const usbdrv_device_entry& entry);
// Why a device is or is not one: the same rule, with the reason a program gives for refusing it.
enum class cdc_check {
    cdc,               // a CDC serial (communication) interface
    not_an_interface,  // a whole device: a composite device's parent, or a device of one function
    data_interface,    // the CDC data interface (class 0A) that goes with a serial interface
    other_class,       // an interface of another class, or one without a compatible ID
};
cdc_check check_cdc_interface(const usbdrv_device_entry& entry);
// Bound to the system's serial driver; service names are compared without regard to case, as
// the system does. Null is no service.
bool is_serial_driver(const char* service);

// The same ASCII text without regard to the case of its letters; other bytes must be equal.
bool same_ignoring_ascii_case(std::string_view a, std::string_view b);
