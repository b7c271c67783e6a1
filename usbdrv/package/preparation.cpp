// usbdrv_prepare_driver: a driver package for one device, step by step: the checks of what the
// caller gave, the driver kind, the carried files, the INF filled for the device, and the
// catalog with its signature where the system and the user's rights allow. The package is
// written beside its folder and moved in only when complete (staged_package.h), and the
// catalog's certificate is trusted only then.
#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/android_ids.h"
#include "base/bounded_path.h"
#include "base/driver_kinds.h"
#include "base/log.h"
#include "base/package_values.h"
#include "base/tokens.h"
#include "package/catalog.h"
#include "package/driver_versions.h"
#include "package/extraction.h"
#include "package/signing.h"
#include "package/staged_package.h"
#include "package/template_fill.h"
#include "usbdrv/usbdrv.h"
#include "win/busy_marker.h"
#include "win/files.h"
#include "win/guid_text.h"
#include "win/handles.h"
#include "win/owner_security.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"
#include "win/utf8_io.h"
#include "win/windows_error.h"
#include "win/windows_version.h"

namespace {

const char* const kCaller = "usbdrv_prepare_driver";

// What the call was given, read the way the steps read it.
struct request {
    const usbdrv_device_entry& device;
    const char* inf_name;
    const usbdrv_prepare_options* options;

    bool match_compatible_id() const { return options && options->match_compatible_id; }
    bool wants_catalog() const { return !options || !options->no_catalog; }
    // A null options record makes a catalog but never signs it.
    bool wants_signature() const { return options && !options->no_signing; }
    const char* interface_guid() const { return options ? options->interface_guid : nullptr; }
    const char* manufacturer_name() const { return options ? options->manufacturer_name : nullptr; }
    // An empty subject would name no one: the generated one stands in for it too.
    const char* signer_subject() const {
        return options && options->signer_subject && *options->signer_subject
                   ? options->signer_subject
                   : nullptr;
    }
};

// A text the INF holds between double quotes (the caller's, or a vendor's name from the table):
// escaped so that it stays within them.
void set_quoted_token(token_values& tokens, int id, const char* value) {
    char text[kTokenValueBytes];
    inf_string_text(value, text, sizeof text);
    set_token_value(tokens, id, text);
}

usbdrv_result check_inf_name(const char* inf_name) {
    if (!has_inf_extension(inf_name)) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "inf name provided must have a '.inf' extension");
        return USBDRV_ERR_INVALID_PARAM;
    }
    // The INF and its catalog are written beside the carried files, never elsewhere.
    if (!is_bare_file_name(inf_name)) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "inf name provided must not contain a path: '%s'",
                   inf_name);
        return USBDRV_ERR_INVALID_PARAM;
    }
    return USBDRV_OK;
}

// The package folder: the one given, or TEMP; temp keeps TEMP's text for the call.
usbdrv_result choose_package_dir(const char* path, unique_malloc<char>& temp, const char*& dir) {
    if (path && *path) {
        dir = path;
        return USBDRV_OK;
    }
    temp.reset(temp_folder());
    if (!temp) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "no path provided and unable to use TEMP");
        return USBDRV_ERR_INVALID_PARAM;
    }
    usbdrv_log(USBDRV_LOG_INFO, kCaller, "no path provided - extracting to '%s'", temp.get());
    dir = temp.get();
    return USBDRV_OK;
}

// The driver kind of the package, and the version of its carried driver file as this
// preparation read it (all zero when none was read).
struct kind_choice {
    int32_t kind = USBDRV_DRIVER_WINUSB;
    VS_FIXEDFILEINFO version = {};
};

// The kind asked for when the system supports it, with its driver file's version read anew,
// else the first kind that it supports, whose version is not read: its INF gets today's date and
// 0.0.0.0.
usbdrv_result choose_kind(const usbdrv_prepare_options* options, kind_choice& choice) {
    int32_t& kind = choice.kind;
    kind = options ? options->driver_type : USBDRV_DRIVER_WINUSB;
    if (kind < 0 || kind >= USBDRV_DRIVER_TYPE_COUNT) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "unknown type");
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
            usbdrv_log(USBDRV_LOG_WARNING, kCaller,
                       "unsupported or no driver type specified, will use %s",
                       driver_display_names[kind]);
            return USBDRV_OK;
        }
    }
    return USBDRV_ERR_NOT_SUPPORTED;
}

// The libusb0 package carries libusbK's DLLs too, where libusbK can be used; otherwise the five
// values keep their empty defaults. Only the libusb0 templates use them.
void set_libusbk_tokens(int32_t kind, token_values& tokens) {
    if (kind != USBDRV_DRIVER_LIBUSB0 ||
        !usbdrv_is_driver_supported(USBDRV_DRIVER_LIBUSBK, nullptr))
        return;
    usbdrv_log(USBDRV_LOG_INFO, kCaller,
               "K driver available - adding the libusbK DLLs to the libusb-win32 inf");
    set_token_value(tokens, TOKEN_LK_COMMA, ",");
    set_token_value(tokens, TOKEN_LK_DLL, "libusbk.dll");
    set_token_value(tokens, TOKEN_LK_X86_DLL, "libusbk_x86.dll");
    set_token_value(tokens, TOKEN_LK_EQ_X86, "= 1,x86");
    set_token_value(tokens, TOKEN_LK_EQ_X64, "= 1,amd64");
}

struct package_paths {
    bounded_path inf, catalog;
};

// The INF's path in the folder the package is written into, and the catalog's beside it. The
// staged package has made sure that they fit.
usbdrv_result make_paths(const char* dir, const char* inf_name, package_paths& paths) {
    paths.inf.append(dir).append("\\").append(inf_name);
    char catalog_name[MAX_PATH];
    catalog_name_of(inf_name, catalog_name, sizeof catalog_name);
    paths.catalog.append(dir).append("\\").append(catalog_name);
    if (paths.inf.cut() || paths.catalog.cut()) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "qualified path for inf file is too long: '%s\\%s'",
                   dir, inf_name);
        return USBDRV_ERR_RESOURCE;
    }
    return USBDRV_OK;
}

// The hardware ID the INF matches, without its "USB\\": the kind's compatible ID when asked for,
// else the device's own.
void inf_hardware_id(const request& r, int32_t kind, char* text, size_t size) {
    if (r.match_compatible_id()) {
        snprintf(text, size, "%s", driver_kind_files_of(kind)->compatible_id);
    } else {
        device_hardware_id(r.device.vid, r.device.pid, r.device.is_interface != 0,
                           r.device.interface_number, text, size);
    }
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

usbdrv_result set_interface_guid(const request& r, token_values& tokens) {
    switch (interface_guid_source_of(r.match_compatible_id(), r.interface_guid(), r.device.vid,
                                     r.device.pid)) {
        case interface_guid_source::unused:
            set_token_value(tokens, TOKEN_DEVICE_INTERFACE_GUID, "UNUSED");
            break;
        case interface_guid_source::given:
            set_quoted_token(tokens, TOKEN_DEVICE_INTERFACE_GUID, r.interface_guid());
            break;
        case interface_guid_source::android:
            usbdrv_log(USBDRV_LOG_INFO, kCaller, "using Android Device Interface GUID");
            set_token_value(tokens, TOKEN_DEVICE_INTERFACE_GUID, kAndroidInterfaceGuid);
            break;
        case interface_guid_source::generated: {
            GUID guid;
            HRESULT result = CoCreateGuid(&guid);
            if (FAILED(result)) {
                LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, (uint32_t)result,
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
usbdrv_result check_quoted_texts(const request& r) {
    const bool guid_given =
        interface_guid_source_of(r.match_compatible_id(), r.interface_guid(), r.device.vid,
                                 r.device.pid) == interface_guid_source::given;
    const struct {
        const char* what;
        const char* text;
    } texts[] = {
        {"device description", r.device.description},
        {"vendor name", manufacturer_name_of(r.manufacturer_name(), r.device.vid)},
        {"device interface GUID", guid_given ? r.interface_guid() : nullptr},
    };
    for (const auto& t : texts) {
        const size_t length = inf_string_length(t.text);
        if (length > USBDRV_DESCRIPTION_MAX) {
            usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                       "the %s is %zu bytes as the INF writes it, more than the %d it can hold",
                       t.what, length, USBDRV_DESCRIPTION_MAX);
            return USBDRV_ERR_INVALID_PARAM;
        }
    }
    return USBDRV_OK;
}

// Every token from INF_FILENAME to KMDF_VERSION, for this package.
usbdrv_result set_package_tokens(const request& r, const kind_choice& choice,
                                 token_values& tokens) {
    char text[MAX_PATH];
    set_token_value(tokens, TOKEN_INF_FILENAME, r.inf_name);
    catalog_name_of(r.inf_name, text, sizeof text);
    set_token_value(tokens, TOKEN_CAT_FILENAME, text);
    set_quoted_token(tokens, TOKEN_DEVICE_DESCRIPTION, r.device.description);

    inf_hardware_id(r, choice.kind, text, sizeof text);
    set_token_value(tokens, TOKEN_DEVICE_HARDWARE_ID, text);
    set_token_value(tokens, TOKEN_USE_DEVICE_INTERFACE_GUID,
                    r.match_compatible_id() ? "NoDeviceInterfaceGUID" : "AddDeviceInterfaceGUID");
    if (usbdrv_result result = set_interface_guid(r, tokens))
        return result;
    set_quoted_token(tokens, TOKEN_DEVICE_MANUFACTURER,
                     manufacturer_name_of(r.manufacturer_name(), r.device.vid));
    set_token_value(tokens, TOKEN_WDF_VERSION, "01011");
    set_token_value(tokens, TOKEN_KMDF_VERSION, "1.11");
    set_driver_date_and_version(choice.version, tokens);
    return USBDRV_OK;
}

// A template of the kind filled with this package's tokens; null with the failure logged.
unique_malloc<char> fill_template(const char* name, const token_values& tokens) {
    return unique_malloc<char>(fill_embedded(name, tokens, kCaller));
}

// The filled INF as UTF-16 little-endian with its byte-order mark. The text is converted before
// the file is made, so that a failure leaves no empty INF behind.
usbdrv_result write_inf(const char* template_name, const token_values& tokens,
                        const char* inf_path) {
    unique_malloc<char> text = fill_template(template_name, tokens);
    if (!text)
        return USBDRV_ERR_ACCESS;
    unique_malloc<wchar_t> wide(utf8_to_utf16(text.get()));
    if (!wide) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "could not convert '%s' to UTF-16", text.get());
        return USBDRV_ERR_RESOURCE;
    }
    static const unsigned char kByteOrderMark[] = {0xFF, 0xFE};
    owner_security owner(kCaller);
    file_write write = write_whole_file(inf_path,
                                        {{kByteOrderMark, sizeof kByteOrderMark},
                                         {wide.get(), wcslen(wide.get()) * sizeof(wchar_t)}},
                                        owner);
    if (write.outcome == file_write::not_created) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "failed to create file: %s", inf_path);
        return USBDRV_ERR_ACCESS;
    }
    if (!write) {
        log_failed_write(write, USBDRV_LOG_ERROR, kCaller, inf_path);
        return USBDRV_ERR_ACCESS;
    }
    usbdrv_log(USBDRV_LOG_INFO, kCaller, "successfully created '%s'", inf_path);
    return USBDRV_OK;
}

// Vista or later, with administrator rights: what a catalog and its signature need.
bool can_make_catalog() {
    if (windows_version == -1)
        detect_windows_version();
    if (windows_version < 0x60)
        return false;
    auto is_user_an_admin = imports.IsUserAnAdmin.get(kCaller);
    return is_user_an_admin && is_user_an_admin();
}

// The certificate that signed the catalog, for the machine to trust once the package is in place,
// and its subject (the caller's, or the generated one here).
struct catalog_signer {
    unique_cert_context certificate;
    const char* subject = nullptr;
    char generated_subject[MAX_PATH + 32] = "";
};

// The catalog over the files its list names and the INF, signed unless asked not to. Neither
// failing fails the preparation.
usbdrv_result make_catalog(const request& r, int32_t kind, const token_values& tokens,
                           const char* dir, const char* catalog_path, catalog_signer& signer) {
    usbdrv_log(USBDRV_LOG_INFO, kCaller,
               "Vista or later detected - creating and self-signing a .cat file...");
    unique_malloc<char> list_text = fill_template(driver_kind_files_of(kind)->catalog_list, tokens);
    if (!list_text)
        return USBDRV_ERR_ACCESS;
    catalog_list list = parse_catalog_list(list_text.get(), r.inf_name);
    if (list.cut) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "more than %d cat entries - ignoring the rest",
                   (int)kMaxCatalogEntries);
    }

    char inf_id[MAX_PATH], hardware_id[MAX_PATH];
    inf_hardware_id(r, kind, inf_id, sizeof inf_id);
    catalog_hardware_id(inf_id, hardware_id, sizeof hardware_id);
    if (!CreateCat(catalog_path, hardware_id, dir, list.names, list.count)) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "could not create cat file");
        return USBDRV_OK;
    }
    if (!r.wants_signature())
        return USBDRV_OK;
    generated_signer_subject(hardware_id, signer.generated_subject,
                             sizeof signer.generated_subject);
    signer.subject = r.signer_subject() ? r.signer_subject() : signer.generated_subject;
    if (!SelfSignFile(catalog_path, signer.subject, signer.certificate))
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "could not sign cat file");
    return USBDRV_OK;
}

// The package's files, written into the folder the staged package gives.
usbdrv_result write_package(const request& r, const kind_choice& choice, const token_values& tokens,
                            const char* dir, catalog_signer& signer) {
    if (usbdrv_result result = extract_binaries(dir))
        return result;
    package_paths paths;
    if (usbdrv_result result = make_paths(dir, r.inf_name, paths))
        return result;
    if (usbdrv_result result =
            write_inf(driver_kind_files_of(choice.kind)->inf_template, tokens, paths.inf.c_str()))
        return result;

    if (!can_make_catalog()) {
        usbdrv_log(USBDRV_LOG_INFO, kCaller,
                   "No .cat file generated (not running Vista or later, or missing elevated "
                   "privileges)");
        return USBDRV_OK;
    }
    if (!r.wants_catalog()) {
        usbdrv_log(USBDRV_LOG_INFO, kCaller, ".cat generation disabled by user");
        return USBDRV_OK;
    }
    return make_catalog(r, choice.kind, tokens, dir, paths.catalog.c_str(), signer);
}

// Everything after the busy marker.
usbdrv_result prepare(const usbdrv_device_entry* device, const char* path, const char* inf_name,
                      const usbdrv_prepare_options* options) {
    // While the marker is held no signing runs anywhere: a key container that exists now was
    // left by one that was ended from outside.
    DeleteLeftoverKeyContainer();
    if (!device || !inf_name) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "one of the required parameter is NULL");
        return USBDRV_ERR_INVALID_PARAM;
    }
    if (!init_dlls())
        return USBDRV_ERR_RESOURCE;
    if (usbdrv_result result = check_inf_name(inf_name))
        return result;
    unique_malloc<char> temp;
    const char* dir = nullptr;
    if (usbdrv_result result = choose_package_dir(path, temp, dir))
        return result;
    kind_choice choice;
    if (usbdrv_result result = choose_kind(options, choice))
        return result;
    // This package's token values, and no other's.
    token_values tokens = {};
    set_libusbk_tokens(choice.kind, tokens);
    // An INF names its device: an empty description is none.
    if (!device->description || !*device->description) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "no device ID was given for the device - aborting");
        return USBDRV_ERR_INVALID_PARAM;
    }
    const request r{*device, inf_name, options};
    if (usbdrv_result result = check_quoted_texts(r))
        return result;
    if (usbdrv_result result = set_package_tokens(r, choice, tokens))
        return result;

    // Nothing is written into the package folder until the whole package is there.
    owner_security owner(kCaller);
    staged_package package(kCaller);
    if (usbdrv_result result = package.begin(dir, inf_name, owner))
        return result;
    catalog_signer signer;
    if (usbdrv_result result = write_package(r, choice, tokens, package.folder().c_str(), signer))
        return result;
    if (usbdrv_result result = package.commit())
        return result;
    // Trusted only now: a failed preparation leaves the machine trusting what it trusted.
    if (signer.certificate && !TrustSigner(signer.certificate.get(), signer.subject))
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "could not sign cat file");
    return USBDRV_OK;
}

}  // namespace

usbdrv_result usbdrv_prepare_driver(const usbdrv_device_entry* device, const char* path,
                                    const char* inf_name, const usbdrv_prepare_options* options) {
    busy_marker busy(kPreparationMarker);
    if (usbdrv_result result = busy.state())
        return result;
    // A running installation's helper works from a package folder, which may be this one: the
    // package it installs is not rewritten under it.
    if (busy_marker::held(kInstallationMarker)) {
        usbdrv_log(USBDRV_LOG_INFO, kCaller,
                   "an installation runs on this machine - no package is prepared until it has "
                   "ended");
        return USBDRV_ERR_BUSY;
    }
    return prepare(device, path, inf_name, options);
}
