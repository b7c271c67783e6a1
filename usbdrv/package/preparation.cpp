// usbdrv_prepare_driver: a driver package for one device, step by step: the checks of what the
// caller gave, the driver kind, the carried files, the INF filled for the device, and the
// catalog with its signature where the system and the user's rights allow. The package is
// written beside its folder and moved in only when complete (staged_package.h), and the
// catalog's certificate is trusted only then.
#include <windows.h>

#include <cwchar>

#include "base/log.h"
#include "base/package_values.h"
#include "package/catalog.h"
#include "package/extraction.h"
#include "package/package_plan.h"
#include "package/signing.h"
#include "package/staged_package.h"
#include "usbdrv/usbdrv.h"
#include "win/busy_marker.h"
#include "win/files.h"
#include "win/handles.h"
#include "win/owner_security.h"

namespace {

const char* const kCaller = "usbdrv_prepare_driver";

// The filled INF as UTF-16 little-endian with its byte-order mark. The text is converted before
// the file is made, so that a failure leaves no empty INF behind.
usbdrv_result write_inf(const package_plan& plan, const char* inf_path) {
    unique_malloc<wchar_t> wide = inf_text(plan, plan.tokens);
    if (!wide)
        return USBDRV_ERR_ACCESS;
    owner_security owner(kCaller);
    file_write write = write_whole_file(inf_path,
                                        {{kInfByteOrderMark, sizeof kInfByteOrderMark},
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

// The certificate that signed the catalog, for the machine to trust once the package is in place,
// and its subject (the caller's, or the generated one).
struct catalog_signer {
    unique_cert_context certificate;
    const char* subject = nullptr;
    char generated_subject[kSignerSubjectBytes] = "";
};

// The catalog over the files its list names and the INF, signed unless asked not to. Neither
// failing fails the preparation.
usbdrv_result make_catalog(const package_plan& plan, const char* dir, const char* catalog_path,
                           catalog_signer& signer, early_key_pair& key) {
    usbdrv_log(USBDRV_LOG_INFO, kCaller,
               "Vista or later detected - creating and self-signing a .cat file...");
    unique_malloc<char> list_text;
    catalog_list list;
    if (!plan_catalog_list(plan, list_text, list))
        return USBDRV_ERR_ACCESS;

    char hardware_id[MAX_PATH];
    plan_catalog_hardware_id(plan, hardware_id, sizeof hardware_id);
    if (!CreateCat(catalog_path, hardware_id, dir, list.names, list.count)) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "could not create cat file");
        return USBDRV_OK;
    }
    if (!plan.wants_signature())
        return USBDRV_OK;
    signer.subject = plan_signer_subject(plan, signer.generated_subject);
    if (!SelfSignFile(catalog_path, signer.subject, signer.certificate, &key))
        usbdrv_log(USBDRV_LOG_WARNING, kCaller, "could not sign cat file");
    return USBDRV_OK;
}

// The package's files, written into the folder the staged package gives.
usbdrv_result write_package(const package_plan& plan, const char* dir, catalog_signer& signer) {
    // The signing key pair is generated while the carried files, the INF and the catalog are
    // written; the files and the signature are the same as when it is generated last.
    const bool catalog_here = can_make_catalog(kCaller);
    early_key_pair key;
    if (catalog_here && plan.wants_catalog() && plan.wants_signature())
        key.start();  // without a thread the signing generates the pair itself
    if (usbdrv_result result = extract_binaries(dir))
        return result;
    package_paths paths;
    if (usbdrv_result result = make_paths(kCaller, dir, plan.inf_name, paths))
        return result;
    if (usbdrv_result result = write_inf(plan, paths.inf.c_str()))
        return result;

    if (!catalog_here) {
        usbdrv_log(USBDRV_LOG_INFO, kCaller,
                   "No .cat file generated (not running Vista or later, or missing elevated "
                   "privileges)");
        return USBDRV_OK;
    }
    if (!plan.wants_catalog()) {
        usbdrv_log(USBDRV_LOG_INFO, kCaller, ".cat generation disabled by user");
        return USBDRV_OK;
    }
    return make_catalog(plan, dir, paths.catalog.c_str(), signer, key);
}

// Everything after the busy marker.
usbdrv_result prepare(const usbdrv_device_entry* device, const char* path, const char* inf_name,
                      const usbdrv_prepare_options* options) {
    // While the marker is held no signing runs anywhere: a key container that exists now was
    // left by one that was ended from outside.
    DeleteLeftoverKeyContainer();
    package_plan plan;
    if (usbdrv_result result = plan_package(kCaller, device, path, inf_name, options, plan))
        return result;

    // Nothing is written into the package folder until the whole package is there.
    owner_security owner(kCaller);
    staged_package package(kCaller);
    if (usbdrv_result result = package.begin(plan.dir, inf_name, owner))
        return result;
    catalog_signer signer;
    if (usbdrv_result result = write_package(plan, package.folder().c_str(), signer))
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
    // The package a running installation installs is not rewritten under it.
    if (usbdrv_result result = refuse_while_installing(kCaller, "prepared"))
        return result;
    return prepare(device, path, inf_name, options);
}
