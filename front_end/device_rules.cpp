#include "device_rules.h"

namespace {

constexpr std::string_view kCdcClass = "USB\\Class_02";
constexpr std::string_view kCdcDataClass = "USB\\Class_0A";

char ascii_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

usbdrv_device_entry package_entry(uint16_t vid, uint16_t pid, uint8_t interface_number,
                                  char* description) {
    usbdrv_device_entry entry = {};
    entry.vid = vid;
    entry.pid = pid;
    entry.is_interface = 1;
    entry.interface_number = interface_number;
    entry.description = description;
    return entry;
}

usbdrv_prepare_options package_options() {
    usbdrv_prepare_options options = {};
    options.driver_type = USBDRV_DRIVER_CDC;
    return options;
}

size_t inf_description_bytes(std::string_view utf8) {
    size_t bytes = utf8.size();
    for (char c : utf8) {
        if (c == '"')
            bytes++;
    }
    return bytes;
}

bool description_fits_inf(std::string_view utf8) {
    return inf_description_bytes(utf8) <= USBDRV_DESCRIPTION_MAX;
}

bool same_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (ascii_upper(a[i]) != ascii_upper(b[i]))
            return false;
    }
    return true;
}

cdc_check check_cdc_interface(const usbdrv_device_entry& entry) {
    if (entry.is_interface != 1)
        return cdc_check::not_an_interface;
    if (!entry.compatible_id)
        return cdc_check::other_class;
    std::string_view id = entry.compatible_id;
    if (same_ignoring_ascii_case(id.substr(0, kCdcClass.size()), kCdcClass))
        return cdc_check::cdc;
    if (same_ignoring_ascii_case(id.substr(0, kCdcDataClass.size()), kCdcDataClass))
        return cdc_check::data_interface;
    return cdc_check::other_class;
}

bool is_cdc_interface(const usbdrv_device_entry& entry) {
    return check_cdc_interface(entry) == cdc_check::cdc;
}

bool is_serial_driver(const char* service) {
    return service && same_ignoring_ascii_case(service, kSerialDriverService);
}
