// What a preparation writes for one call, settled before anything is written: the checks of the
// caller's arguments, the package folder, the driver kind and every token value, and the INF text
// the templates give for them. The preparation writes the package from it, and the check of a
// package prepared earlier compares the folder with it, so that both read the arguments alike.
#pragma once

#include <windows.h>

#include "base/bounded_path.h"
#include "base/package_values.h"
#include "base/tokens.h"
#include "usbdrv/usbdrv.h"
#include "win/handles.h"

// The driver kind of the package, and the version of its carried driver file as this call read it
// (all zero when none was read).
struct kind_choice {
    int32_t kind = USBDRV_DRIVER_WINUSB;
    VS_FIXEDFILEINFO version = {};
};

struct package_plan {
    const char* caller = nullptr;  // the public function whose name the log lines carry
    const usbdrv_device_entry* device = nullptr;
    const char* inf_name = nullptr;
    const usbdrv_prepare_options* options = nullptr;
    const char* dir = nullptr;  // the package folder: the caller's, or `temp`
    unique_malloc<char> temp;
    kind_choice choice;
    interface_guid_source guid_source = interface_guid_source::unused;
    token_values tokens = {};

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

// Checks the arguments as usbdrv_prepare_driver takes them and fills `plan` with the folder, the
// kind and the tokens, each preparation's new values (the driver date, a generated interface
// GUID) included. USBDRV_OK, or the refusal with its line under `caller`: USBDRV_ERR_INVALID_PARAM
// for a null device or INF name, a bad INF name, no folder, an unknown kind, an empty or too long
// text; USBDRV_ERR_RESOURCE when the system's functions cannot be had or no GUID can be made;
// USBDRV_ERR_NOT_SUPPORTED when the system supports no kind.
usbdrv_result plan_package(const char* caller, const usbdrv_device_entry* device, const char* path,
                           const char* inf_name, const usbdrv_prepare_options* options,
                           package_plan& plan);

// The hardware ID the INF matches, without its "USB\\": the kind's compatible ID when asked for,
// else the device's own.
void inf_hardware_id(const package_plan& plan, char* text, size_t size);

// A template filled with `tokens`; null with the failure logged under `caller`.
unique_malloc<char> fill_template(const char* name, const token_values& tokens, const char* caller);

// The plan's INF for `tokens` as its file holds it after the byte-order mark: UTF-16
// little-endian, terminated. Null with the failure logged.
unique_malloc<wchar_t> inf_text(const package_plan& plan, const token_values& tokens);

// The kind's catalog list filled for the plan and parsed into `list`, whose names point into
// `text`; false with the failure logged.
bool plan_catalog_list(const package_plan& plan, unique_malloc<char>& text, catalog_list& list);

// The catalog's hardware ID, "USB\<the INF's hardware ID>".
void plan_catalog_hardware_id(const package_plan& plan, char* text, size_t size);

// The subject the catalog's certificate gets: the caller's, or the one generated for the
// hardware ID, written into `generated`.
constexpr size_t kSignerSubjectBytes = MAX_PATH + 32;
const char* plan_signer_subject(const package_plan& plan, char (&generated)[kSignerSubjectBytes]);

// The INF's byte-order mark, which the file begins with.
constexpr unsigned char kInfByteOrderMark[] = {0xFF, 0xFE};

// Vista or later, with administrator rights: what a catalog and its signature need.
bool can_make_catalog(const char* caller);

// USBDRV_ERR_BUSY, with its line under `caller`, while an installation runs on this machine: its
// helper works from a package folder, which may be this one. `verb` says what waits for its end
// ("prepared", "checked"). USBDRV_OK otherwise. Called with the preparation's marker held.
usbdrv_result refuse_while_installing(const char* caller, const char* verb);

struct package_paths {
    bounded_path inf, catalog;
};
// The INF's path in `dir` and the catalog's beside it; USBDRV_ERR_RESOURCE with a line when they
// do not fit.
usbdrv_result make_paths(const char* caller, const char* dir, const char* inf_name,
                         package_paths& paths);
