#include "package/package_plan.h"

#include <objbase.h>

#include <cstdio>
#include <cstring>

#include "base/android_ids.h"
#include "base/driver_kinds.h"
#include "base/log.h"
#include "package/driver_versions.h"
#include "package/template_fill.h"
#include "win/busy_marker.h"
#include "win/files.h"
#include "win/guid_text.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"
#include "win/windows_error.h"
#include "win/windows_version.h"

namespace {

// A text the INF holds between double quotes (the caller's, or a vendor's name from the table):
// escaped so that it stays within them.
void set_quoted_token(token_values& tokens, int id, const char* value) {
    char text[kTokenValueBytes];
    inf_string_text(value, text, sizeof text);
    set_token_value(tokens, id, text);
}

usbdrv_result check_inf_name(const char* caller, const char* inf_name) {
    if (!has_inf_extension(inf_name)) {
        usbdrv_log(USBDRV_LOG_ERROR, caller, "inf name provided must have a '.inf' extension");
        return USBDRV_ERR_INVALID_PARAM;
    }
    // The INF and its catalog are written beside the carried files, never elsewhere.
    if (!is_bare_file_name(inf_name)) {
        usbdrv_log(USBDRV_LOG_ERROR, caller, "inf name provided must not contain a path: '%s'",
                   inf_name);
        return USBDRV_ERR_INVALID_PARAM;
    }
    return USBDRV_OK;
}

// The package folder: the one given, or TEMP, whose text the plan keeps.
usbdrv_result choose_package_dir(const char* path, package_plan& plan) {
    if (path && *path) {
        plan.dir = path;
        return USBDRV_OK;
    }
    plan.temp.reset(temp_folder());
    if (!plan.temp) {
        usbdrv_log(USBDRV_LOG_ERROR, plan.caller, "no path provided and unable to use TEMP");
        return USBDRV_ERR_INVALID_PARAM;
    }
    usbdrv_log(USBDRV_LOG_INFO, plan.caller, "no path provided - extracting to '%s'",
               plan.temp.get());
    plan.dir = plan.temp.get();
    return USBDRV_OK;
}

// The kind asked for when the system supports it, with its driver file's version read anew,
// else the first kind that it supports, whose version is not read: its INF gets today's date and
// 0.0.0.0.
usbdrv_result choose_kind(const char* caller, const usbdrv_prepare_options* options,
                          kind_choice& choice) {
    int32_t& kind = choice.kind;
    kind = options ? options->driver_type : USBDRV_DRIVER_WINUSB;
    if (kind < 0 || kind >= USBDRV_DRIVER_TYPE_COUNT) {
        usbdrv_log(USBDRV_LOG_ERROR, caller, "unknown type");
        return USBDRV_ERR_INVALID_PARAM;
    }
    if (kind < USBDRV_DRIVER_CDC)
        read_version_info(kind, &choice.version);
    if (usbdrv_is_driver_supported(kind, nullptr))
        return USBDRV_OK;
    choice.version = {};
    // libusb0 is supported everywhere, so one is found.
    for (int32_t other = 0; other < USBDRV_DRIVER_TYPE_COUNT; other++) {
        if (usbdrv_is_driver_supported(other, nullptr)) {
            kind = other;
            usbdrv_log(USBDRV_LOG_WARNING, caller,
                       "unsupported or no driver type specified, will use %s",
                       driver_display_names[kind]);
            return USBDRV_OK;
        }
    }
    return USBDRV_ERR_NOT_SUPPORTED;
}

// The libusb0 package carries libusbK's DLLs too, where libusbK can be used; otherwise the five
// values keep their empty defaults. Only the libusb0 templates use them.
void set_libusbk_tokens(const char* caller, int32_t kind, token_values& tokens) {
    if (kind != USBDRV_DRIVER_LIBUSB0 ||
        !usbdrv_is_driver_supported(USBDRV_DRIVER_LIBUSBK, nullptr))
        return;
    usbdrv_log(USBDRV_LOG_INFO, caller,
               "K driver available - adding the libusbK DLLs to the libusb-win32 inf");
    set_token_value(tokens, TOKEN_LK_COMMA, ",");
    set_token_value(tokens, TOKEN_LK_DLL, "libusbk.dll");
    set_token_value(tokens, TOKEN_LK_X86_DLL, "libusbk_x86.dll");
    set_token_value(tokens, TOKEN_LK_EQ_X86, "= 1,x86");
    set_token_value(tokens, TOKEN_LK_EQ_X64, "= 1,amd64");
}

bool local_date_of(uint64_t file_time, calendar_date* date) {
    FILETIME utc = {(DWORD)file_time, (DWORD)(file_time >> 32)}, local;
    SYSTEMTIME calendar;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &calendar))
        return false;
    *date = {calendar.wYear, calendar.wMonth, calendar.wDay};
    return true;
}

// The driver date and version of the kind's carried driver file; the CDC kind has none, so its
// date is today and its version 0.0.0.0.
void set_driver_date_and_version(const VS_FIXEDFILEINFO& version, token_values& tokens) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    driver_date_text((uint64_t)version.dwFileDateMS << 32 | version.dwFileDateLS, local_date_of,
                     {now.wYear, now.wMonth, now.wDay}, text, sizeof text);
    set_token_value(tokens, TOKEN_DRIVER_DATE, text);
    driver_version_text(version.dwFileVersionMS, version.dwFileVersionLS, text, sizeof text);
    set_token_value(tokens, TOKEN_DRIVER_VERSION, text);
}

usbdrv_result set_interface_guid(package_plan& plan) {
    token_values& tokens = plan.tokens;
    switch (plan.guid_source) {
        case interface_guid_source::unused:
            set_token_value(tokens, TOKEN_DEVICE_INTERFACE_GUID, "UNUSED");
            break;
        case interface_guid_source::given:
            set_quoted_token(tokens, TOKEN_DEVICE_INTERFACE_GUID, plan.interface_guid());
            break;
        case interface_guid_source::android:
            usbdrv_log(USBDRV_LOG_INFO, plan.caller, "using Android Device Interface GUID");
            set_token_value(tokens, TOKEN_DEVICE_INTERFACE_GUID, kAndroidInterfaceGuid);
            break;
        case interface_guid_source::generated: {
            GUID guid;
            // Ole32 is loaded here, by the first preparation that needs a GUID.
            auto create_guid = imports.CoCreateGuid.get(plan.caller);
            if (!create_guid)
                return USBDRV_ERR_RESOURCE;
            HRESULT result = create_guid(&guid);
            if (FAILED(result)) {
                LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, plan.caller, (uint32_t)result,
                                 "could not generate a device interface GUID (%s)");
                return USBDRV_ERR_RESOURCE;
            }
            set_token_value(tokens, TOKEN_DEVICE_INTERFACE_GUID, guid_to_string(guid));
            break;
        }
    }
    return USBDRV_OK;
}

static_assert(USBDRV_DESCRIPTION_MAX + 1 == kTokenValueBytes,
              "a description as long as the limit fills a token value");

// The caller's texts that the INF holds between double quotes, measured as the INF writes them:
// one that a token value cannot hold is refused, never cut.
usbdrv_result check_quoted_texts(const package_plan& plan) {
    const bool guid_given = plan.guid_source == interface_guid_source::given;
    const struct {
        const char* what;
        const char* text;
    } texts[] = {
        {"device description", plan.device->description},
        {"vendor name", manufacturer_name_of(plan.manufacturer_name(), plan.device->vid)},
        {"device interface GUID", guid_given ? plan.interface_guid() : nullptr},
    };
    for (const auto& t : texts) {
        const size_t length = inf_string_length(t.text);
        if (length > USBDRV_DESCRIPTION_MAX) {
            usbdrv_log(USBDRV_LOG_ERROR, plan.caller,
                       "the %s is %zu bytes as the INF writes it, more than the %d it can hold",
                       t.what, length, USBDRV_DESCRIPTION_MAX);
            return USBDRV_ERR_INVALID_PARAM;
        }
    }
    return USBDRV_OK;
}

// Every token from INF_FILENAME to KMDF_VERSION, for this package.
usbdrv_result set_package_tokens(package_plan& plan) {
    token_values& tokens = plan.tokens;
    char text[MAX_PATH];
    set_token_value(tokens, TOKEN_INF_FILENAME, plan.inf_name);
    catalog_name_of(plan.inf_name, text, sizeof text);
    set_token_value(tokens, TOKEN_CAT_FILENAME, text);
    set_quoted_token(tokens, TOKEN_DEVICE_DESCRIPTION, plan.device->description);

    inf_hardware_id(plan, text, sizeof text);
    set_token_value(tokens, TOKEN_DEVICE_HARDWARE_ID, text);
    set_token_value(
        tokens, TOKEN_USE_DEVICE_INTERFACE_GUID,
        plan.match_compatible_id() ? "NoDeviceInterfaceGUID" : "AddDeviceInterfaceGUID");
    if (usbdrv_result result = set_interface_guid(plan))
        return result;
    set_quoted_token(tokens, TOKEN_DEVICE_MANUFACTURER,
                     manufacturer_name_of(plan.manufacturer_name(), plan.device->vid));
    set_token_value(tokens, TOKEN_WDF_VERSION, "01011");
    set_token_value(tokens, TOKEN_KMDF_VERSION, "1.11");
    set_driver_date_and_version(plan.choice.version, tokens);
    return USBDRV_OK;
}

}  // namespace

usbdrv_result plan_package(const char* caller, const usbdrv_device_entry* device, const char* path,
                           const char* inf_name, const usbdrv_prepare_options* options,
                           package_plan& plan) {
    plan.caller = caller;
    if (!device || !inf_name) {
        usbdrv_log(USBDRV_LOG_ERROR, caller, "one of the required parameter is NULL");
        return USBDRV_ERR_INVALID_PARAM;
    }
    if (!init_dlls())
        return USBDRV_ERR_RESOURCE;
    if (usbdrv_result result = check_inf_name(caller, inf_name))
        return result;
    plan.device = device;
    plan.inf_name = inf_name;
    plan.options = options;
    if (usbdrv_result result = choose_package_dir(path, plan))
        return result;
    if (usbdrv_result result = choose_kind(caller, options, plan.choice))
        return result;
    // This package's token values, and no other's.
    plan.tokens = {};
    set_libusbk_tokens(caller, plan.choice.kind, plan.tokens);
    // An INF names its device: an empty description is none.
    if (!device->description || !*device->description) {
        usbdrv_log(USBDRV_LOG_ERROR, caller, "no device ID was given for the device - aborting");
        return USBDRV_ERR_INVALID_PARAM;
    }
    plan.guid_source = interface_guid_source_of(plan.match_compatible_id(), plan.interface_guid(),
                                                device->vid, device->pid);
    if (usbdrv_result result = check_quoted_texts(plan))
        return result;
    return set_package_tokens(plan);
}

void inf_hardware_id(const package_plan& plan, char* text, size_t size) {
    if (plan.match_compatible_id()) {
        snprintf(text, size, "%s", driver_kind_files_of(plan.choice.kind)->compatible_id);
    } else {
        const usbdrv_device_entry& device = *plan.device;
        device_hardware_id(device.vid, device.pid, device.is_interface != 0,
                           device.interface_number, text, size);
    }
}

unique_malloc<char> fill_template(const char* name, const token_values& tokens,
                                  const char* caller) {
    return unique_malloc<char>(fill_embedded(name, tokens, caller));
}

unique_malloc<wchar_t> inf_text(const package_plan& plan, const token_values& tokens) {
    unique_malloc<char> text =
        fill_template(driver_kind_files_of(plan.choice.kind)->inf_template, tokens, plan.caller);
    if (!text)
        return nullptr;
    unique_malloc<wchar_t> wide(utf8_to_utf16(text.get()));
    if (!wide)
        usbdrv_log(USBDRV_LOG_ERROR, plan.caller, "could not convert '%s' to UTF-16", text.get());
    return wide;
}

bool plan_catalog_list(const package_plan& plan, unique_malloc<char>& text, catalog_list& list) {
    text = fill_template(driver_kind_files_of(plan.choice.kind)->catalog_list, plan.tokens,
                         plan.caller);
    if (!text)
        return false;
    list = parse_catalog_list(text.get(), plan.inf_name);
    if (list.cut) {
        usbdrv_log(USBDRV_LOG_WARNING, plan.caller, "more than %d cat entries - ignoring the rest",
                   (int)kMaxCatalogEntries);
    }
    return true;
}

void plan_catalog_hardware_id(const package_plan& plan, char* text, size_t size) {
    char inf_id[MAX_PATH];
    inf_hardware_id(plan, inf_id, sizeof inf_id);
    catalog_hardware_id(inf_id, text, size);
}

const char* plan_signer_subject(const package_plan& plan, char (&generated)[kSignerSubjectBytes]) {
    char hardware_id[MAX_PATH];
    plan_catalog_hardware_id(plan, hardware_id, sizeof hardware_id);
    generated_signer_subject(hardware_id, generated, sizeof generated);
    return plan.signer_subject() ? plan.signer_subject() : generated;
}

bool can_make_catalog(const char* caller) {
    if (windows_version == -1)
        detect_windows_version();
    if (windows_version < 0x60)
        return false;
    auto is_user_an_admin = imports.IsUserAnAdmin.get(caller);
    return is_user_an_admin && is_user_an_admin();
}

usbdrv_result refuse_while_installing(const char* caller, const char* verb) {
    if (!busy_marker::held(kInstallationMarker))
        return USBDRV_OK;
    usbdrv_log(USBDRV_LOG_INFO, caller,
               "an installation runs on this machine - no package is %s until it has ended", verb);
    return USBDRV_ERR_BUSY;
}

usbdrv_result make_paths(const char* caller, const char* dir, const char* inf_name,
                         package_paths& paths) {
    paths.inf.append(dir).append("\\").append(inf_name);
    char catalog_name[MAX_PATH];
    catalog_name_of(inf_name, catalog_name, sizeof catalog_name);
    paths.catalog.append(dir).append("\\").append(catalog_name);
    if (paths.inf.cut() || paths.catalog.cut()) {
        usbdrv_log(USBDRV_LOG_ERROR, caller, "qualified path for inf file is too long: '%s\\%s'",
                   dir, inf_name);
        return USBDRV_ERR_RESOURCE;
    }
    return USBDRV_OK;
}
