// usbdrv_check_prepared_driver: whether the package in a folder is still the one a preparation
// would write now, and still trusted, so that a caller may install it without preparing again.
// Its INF is made again from the same plan the preparation writes from, with the two values each
// preparation makes anew read back from the INF that is there; the carried files are compared
// with the program's, the catalog's members with the files' hashes, and its signer with the
// library's certificates in the machine's trust stores. It only reads.
#include <windows.h>
#include <wincrypt.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "base/catalog_rules.h"
#include "base/log.h"
#include "base/package_values.h"
#include "package/catalog.h"
#include "package/embedded_files.h"
#include "package/package_plan.h"
#include "package/trusted_certificates.h"
#include "usbdrv/usbdrv.h"
#include "win/busy_marker.h"
#include "win/handles.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"

namespace {

const char* const kCaller = "usbdrv_check_prepared_driver";
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// No file of a package comes near this; a larger one is not the package's.
constexpr LONGLONG kLargestFile = 256ll << 20;

// The one line that says why the package is prepared again.
USBDRV_PRINTF(2, 3)
usbdrv_result not_reused(const package_plan& plan, const char* format, ...) {
    char reason[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(reason, sizeof reason, format, arguments);
    va_end(arguments);
    usbdrv_log(USBDRV_LOG_INFO, kCaller, "the package in '%s' is not reused: %s", plan.dir, reason);
    return USBDRV_ERR_NOT_FOUND;
}

struct file_bytes {
    unique_malloc<unsigned char> data;
    size_t size = 0;
};
enum class read_outcome { read, missing, failed };

read_outcome read_whole_file(const char* path, file_bytes& file) {
    unique_malloc<wchar_t> wide(utf8_to_utf16(path));
    if (!wide)
        return read_outcome::failed;
    unique_file_handle handle(CreateFileW(wide.get(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? read_outcome::missing
                   : read_outcome::failed;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle.get(), &size) || size.QuadPart > kLargestFile)
        return read_outcome::failed;
    file.size = static_cast<size_t>(size.QuadPart);
    file.data.reset(static_cast<unsigned char*>(malloc(file.size ? file.size : 1)));
    if (!file.data)
        return read_outcome::failed;
    for (size_t done = 0; done < file.size;) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(file.size - done);
        if (!ReadFile(handle.get(), file.data.get() + done, want, &got, nullptr) || got == 0)
            return read_outcome::failed;
        done += got;
    }
    return read_outcome::read;
}

// The INF there, byte for byte the one the plan gives with the driver date and a generated
// interface GUID taken from it.
usbdrv_result check_inf(const package_plan& plan, const char* inf_path) {
    file_bytes file;
    switch (read_whole_file(inf_path, file)) {
        case read_outcome::missing:
            return not_reused(plan, "there is no '%s'", plan.inf_name);
        case read_outcome::failed:
            return not_reused(plan, "'%s' cannot be read", plan.inf_name);
        case read_outcome::read:
            break;
    }
    const char* const kDiffers = "the INF differs from what a preparation writes now";
    const size_t mark = sizeof kInfByteOrderMark;
    if (file.size < mark || (file.size - mark) % sizeof(wchar_t) != 0 ||
        memcmp(file.data.get(), kInfByteOrderMark, mark) != 0) {
        return not_reused(plan, "%s", kDiffers);
    }
    const size_t units = (file.size - mark) / sizeof(wchar_t);
    unique_malloc<wchar_t> wide(static_cast<wchar_t*>(malloc((units + 1) * sizeof(wchar_t))));
    if (!wide)
        return not_reused(plan, "out of memory");
    memcpy(wide.get(), file.data.get() + mark, units * sizeof(wchar_t));
    wide.get()[units] = L'\0';
    unique_malloc<char> text(utf16_to_utf8(wide.get()));

    // The plan's values with holes where the INF has its own, then with those.
    unique_malloc<token_values> tokens(static_cast<token_values*>(malloc(sizeof(token_values))));
    if (!tokens)
        return not_reused(plan, "out of memory");
    *tokens = plan.tokens;
    const bool generated_guid = plan.guid_source == interface_guid_source::generated;
    const char date_hole[] = {kValueHole, '0', '\0'}, guid_hole[] = {kValueHole, '1', '\0'};
    set_token_value(*tokens, TOKEN_DRIVER_DATE, date_hole);
    if (generated_guid)
        set_token_value(*tokens, TOKEN_DEVICE_INTERFACE_GUID, guid_hole);
    unique_malloc<char> pattern =
        fill_template(driver_kind_files_of(plan.choice.kind)->inf_template, *tokens, kCaller);
    hole_values values;
    if (!pattern || !text || !take_hole_values(pattern.get(), text.get(), values))
        return not_reused(plan, "%s", kDiffers);
    set_token_value(*tokens, TOKEN_DRIVER_DATE, values.text[0]);
    if (generated_guid)
        set_token_value(*tokens, TOKEN_DEVICE_INTERFACE_GUID, values.text[1]);
    unique_malloc<wchar_t> expected = inf_text(plan, *tokens);
    if (!expected || wcslen(expected.get()) != units ||
        memcmp(expected.get(), wide.get(), units * sizeof(wchar_t)) != 0) {
        return not_reused(plan, "%s", kDiffers);
    }
    return USBDRV_OK;
}

// A carried file's path in the package folder, and as the lines name it.
struct carried_path {
    bounded_path full;
    bounded_path shown;
};
bool carried_path_of(const package_plan& plan, const embedded_file& file, carried_path& path) {
    path.full.append(plan.dir).append("\\").append(file.subdir).append("\\").append(file.name);
    if (strcmp(file.subdir, ".") != 0)
        path.shown.append(file.subdir).append("\\");
    path.shown.append(file.name);
    return !path.full.cut() && !path.shown.cut();
}

// Every file the program carries is there as it carries it.
usbdrv_result check_carried_files(const package_plan& plan) {
    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& carried = embedded_files[i];
        if (!*carried.subdir)
            continue;  // a template
        carried_path path;
        if (!carried_path_of(plan, carried, path))
            return not_reused(plan, "the path of '%s' is too long", carried.name);
        file_bytes file;
        switch (read_whole_file(path.full.c_str(), file)) {
            case read_outcome::missing:
                return not_reused(plan, "'%s' is missing", path.shown.c_str());
            case read_outcome::failed:
                return not_reused(plan, "'%s' cannot be read", path.shown.c_str());
            case read_outcome::read:
                break;
        }
        if (file.size != static_cast<size_t>(carried.size) ||
            memcmp(file.data.get(), carried.data, file.size) != 0) {
            return not_reused(plan, "'%s' differs from the file the program carries",
                              path.shown.c_str());
        }
    }
    return USBDRV_OK;
}

bool listed(const catalog_list& list, const char* name) {
    unique_malloc<char> lowered(strdup(name));
    if (!lowered)
        return false;
    lower_ascii(lowered.get());
    for (uint32_t i = 0; i < list.count; i++) {
        unique_malloc<char> entry(list.names[i] ? strdup(list.names[i]) : nullptr);
        if (!entry)
            continue;
        lower_ascii(entry.get());
        if (strcmp(entry.get(), lowered.get()) == 0)
            return true;
    }
    return false;
}

// A decoded message, given back through crypt32 as looked up (unique_crypt_message calls it
// directly, which would put crypt32 into the programs' import tables).
struct looked_up_message_traits {
    static HCRYPTMSG invalid() { return nullptr; }
    static bool absent(HCRYPTMSG m) { return m == nullptr; }
    static void close(HCRYPTMSG m) { handle_kit::give_back_through(imports.CryptMsgClose, m); }
};
using looked_up_message = unique_resource<HCRYPTMSG, looked_up_message_traits>;

// The catalog file, read and decoded as a signer reads it.
struct decoded_catalog {
    looked_up_message message;
    unique_local<CTL_INFO> trust_list;
};

usbdrv_result decode_catalog(const package_plan& plan, const char* catalog_path,
                             const char* catalog_name, decoded_catalog& catalog) {
    file_bytes file;
    switch (read_whole_file(catalog_path, file)) {
        case read_outcome::missing:
            return not_reused(plan, "there is no catalog '%s'", catalog_name);
        case read_outcome::failed:
            return not_reused(plan, "the catalog '%s' cannot be read", catalog_name);
        case read_outcome::read:
            break;
    }
    const char* const kUndecoded = "the catalog '%s' does not decode";
    catalog.message.reset(
        imports.CryptMsgOpenToDecode.get_quietly()(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!catalog.message ||
        !imports.CryptMsgUpdate.get_quietly()(catalog.message.get(), file.data.get(),
                                              static_cast<DWORD>(file.size), TRUE)) {
        return not_reused(plan, kUndecoded, catalog_name);
    }
    auto get_param = imports.CryptMsgGetParam.get_quietly();
    DWORD size = 0;
    if (!get_param(catalog.message.get(), CMSG_CONTENT_PARAM, 0, nullptr, &size))
        return not_reused(plan, kUndecoded, catalog_name);
    unique_malloc<BYTE> content(static_cast<BYTE*>(malloc(size ? size : 1)));
    if (!content || !get_param(catalog.message.get(), CMSG_CONTENT_PARAM, 0, content.get(), &size))
        return not_reused(plan, kUndecoded, catalog_name);
    CTL_INFO* trust_list = nullptr;
    DWORD decoded_size = 0;
    if (!imports.CryptDecodeObjectEx.get_quietly()(kEncoding, PKCS_CTL, content.get(), size,
                                                   CRYPT_DECODE_ALLOC_FLAG, nullptr, &trust_list,
                                                   &decoded_size)) {
        return not_reused(plan, kUndecoded, catalog_name);
    }
    catalog.trust_list.reset(trust_list);
    return USBDRV_OK;
}

bool has_member(const CTL_INFO& trust_list, const uint8_t (&hash)[kFileHashBytes]) {
    for (DWORD i = 0; i < trust_list.cCTLEntry; i++) {
        const CRYPT_DATA_BLOB& id = trust_list.rgCTLEntry[i].SubjectIdentifier;
        if (id.cbData == kFileHashBytes && memcmp(id.pbData, hash, kFileHashBytes) == 0)
            return true;
    }
    return false;
}

// The catalog's members are the files a preparation catalogues, each with the hash it has now:
// the INF, and the carried files whose names the kind's list gives.
usbdrv_result check_members(const package_plan& plan, const char* inf_path,
                            const CTL_INFO& trust_list) {
    unique_malloc<char> list_text;
    catalog_list list;
    if (!plan_catalog_list(plan, list_text, list))
        return not_reused(plan, "the kind's catalog list cannot be made");

    struct hashed {
        uint8_t hash[kFileHashBytes];
    };
    const size_t most = embedded_file_count + 1;
    unique_malloc<hashed> hashes(static_cast<hashed*>(malloc(most * sizeof(hashed))));
    if (!hashes)
        return not_reused(plan, "out of memory");
    size_t count = 0;
    const auto add = [&](const char* path, const char* shown) -> usbdrv_result {
        uint8_t(&hash)[kFileHashBytes] = hashes.get()[count].hash;
        if (!CalcHash(hash, path))
            return not_reused(plan, "'%s' cannot be hashed", shown);
        if (!has_member(trust_list, hash))
            return not_reused(plan, "'%s' differs from its catalog entry", shown);
        count++;
        return USBDRV_OK;
    };
    if (usbdrv_result result = add(inf_path, plan.inf_name))
        return result;
    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& carried = embedded_files[i];
        if (!*carried.subdir || !listed(list, carried.name))
            continue;
        carried_path path;
        if (!carried_path_of(plan, carried, path))
            return not_reused(plan, "the path of '%s' is too long", carried.name);
        if (usbdrv_result result = add(path.full.c_str(), path.shown.c_str()))
            return result;
    }
    // A member that is none of those names a file the package no longer has.
    for (DWORD i = 0; i < trust_list.cCTLEntry; i++) {
        const CRYPT_DATA_BLOB& id = trust_list.rgCTLEntry[i].SubjectIdentifier;
        bool found = false;
        for (size_t h = 0; h < count && !found; h++) {
            found = id.cbData == kFileHashBytes &&
                    memcmp(id.pbData, hashes.get()[h].hash, kFileHashBytes) == 0;
        }
        if (!found)
            return not_reused(plan, "the catalog lists a file the package does not have");
    }
    return USBDRV_OK;
}

// The message's parameter `type` (index 0) in memory from malloc; null when it has none.
unique_malloc<BYTE> message_param(HCRYPTMSG message, DWORD type, DWORD index, DWORD& size) {
    auto get_param = imports.CryptMsgGetParam.get_quietly();
    size = 0;
    if (!get_param(message, type, index, nullptr, &size))
        return nullptr;
    unique_malloc<BYTE> value(static_cast<BYTE*>(malloc(size ? size : 1)));
    if (!value || !get_param(message, type, index, value.get(), &size))
        return nullptr;
    return value;
}

// The certificate of the message's first signer, among the certificates it carries.
unique_cert_context signer_certificate(HCRYPTMSG message) {
    DWORD size = 0;
    unique_malloc<BYTE> signer_info = message_param(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, size);
    if (!signer_info)
        return {};
    DWORD count = 0;
    size = sizeof count;
    if (!imports.CryptMsgGetParam.get_quietly()(message, CMSG_CERT_COUNT_PARAM, 0, &count, &size))
        return {};
    for (DWORD i = 0; i < count; i++) {
        unique_malloc<BYTE> encoded = message_param(message, CMSG_CERT_PARAM, i, size);
        if (!encoded)
            continue;
        unique_cert_context certificate(imports.CertCreateCertificateContext.get_quietly()(
            X509_ASN_ENCODING, encoded.get(), size));
        if (certificate && imports.CertCompareCertificate.get_quietly()(
                               X509_ASN_ENCODING, reinterpret_cast<CERT_INFO*>(signer_info.get()),
                               certificate.get()->pCertInfo)) {
            return certificate;
        }
    }
    return {};
}

// Whether the certificate's subject is the one the plan's preparation gives its certificate, as
// encoded names.
bool has_planned_subject(const package_plan& plan, PCCERT_CONTEXT certificate) {
    char generated[kSignerSubjectBytes];
    const char* subject = plan_signer_subject(plan, generated);
    auto to_name = imports.CertStrToNameA.get_quietly();
    DWORD size = 0;
    if (!to_name(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, nullptr, &size, nullptr))
        return false;
    unique_malloc<BYTE> name(static_cast<BYTE*>(malloc(size ? size : 1)));
    if (!name || !to_name(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, name.get(),
                          &size, nullptr)) {
        return false;
    }
    const CERT_NAME_BLOB& actual = certificate->pCertInfo->Subject;
    return actual.cbData == size && memcmp(actual.pbData, name.get(), size) == 0;
}

// Signed by the self-signed certificate a preparation makes for this package, which both trust
// stores still hold.
usbdrv_result check_signer(const package_plan& plan, HCRYPTMSG message) {
    DWORD signers = 0, size = sizeof signers;
    if (!imports.CryptMsgGetParam.get_quietly()(message, CMSG_SIGNER_COUNT_PARAM, 0, &signers,
                                                &size) ||
        signers == 0) {
        return not_reused(plan, "the catalog is not signed");
    }
    unique_cert_context certificate = signer_certificate(message);
    if (!certificate)
        return not_reused(plan, "the catalog does not carry its signer's certificate");
    if (!is_self_signed(*certificate.get()->pCertInfo) ||
        !has_planned_subject(plan, certificate.get()))
        return not_reused(plan, "the catalog's signer is not the one a preparation makes now");
    uint8_t hash[kThumbprintBytes];
    size = sizeof hash;
    if (!imports.CertGetCertificateContextProperty.get_quietly()(
            certificate.get(), CERT_SHA1_HASH_PROP_ID, hash, &size) ||
        size != sizeof hash) {
        return not_reused(plan, "the catalog's signer cannot be hashed");
    }
    const hash_tag thumbprint = hash_tag_of(hash);
    for (const char* store : kTrustStoreNames) {
        if (!machine_store_holds(store, certificate.get(), thumbprint.text))
            return not_reused(plan, "the catalog's signer is no longer in '%s'", store);
    }
    return USBDRV_OK;
}

usbdrv_result check(const usbdrv_device_entry* device, const char* path, const char* inf_name,
                    const usbdrv_prepare_options* options) {
    package_plan plan;
    if (usbdrv_result result = plan_package(kCaller, device, path, inf_name, options, plan))
        return result;
    // Only a signed catalog that the machine trusts vouches for a package prepared before.
    if (!can_make_catalog(kCaller))
        return not_reused(plan,
                          "no catalog is made here (before Vista, or without "
                          "administrator rights)");
    if (!plan.wants_catalog() || !plan.wants_signature())
        return not_reused(plan, "the options ask for no catalog or no signature");
    if (!look_up_all(kCaller, imports.CryptMsgOpenToDecode, imports.CryptMsgUpdate,
                     imports.CryptMsgGetParam, imports.CryptMsgClose, imports.CryptDecodeObjectEx,
                     imports.CertCreateCertificateContext, imports.CertCompareCertificate,
                     imports.CertFreeCertificateContext, imports.CertGetCertificateContextProperty,
                     imports.CertStrToNameA, imports.CertAddSerializedElementToStore)) {
        return not_reused(plan, "the certificate services cannot be reached");
    }
    package_paths paths;
    if (make_paths(kCaller, plan.dir, inf_name, paths) != USBDRV_OK)
        return not_reused(plan, "its paths are too long");
    if (usbdrv_result result = check_inf(plan, paths.inf.c_str()))
        return result;
    if (usbdrv_result result = check_carried_files(plan))
        return result;
    char catalog_name[MAX_PATH];
    catalog_name_of(inf_name, catalog_name, sizeof catalog_name);
    decoded_catalog catalog;
    if (usbdrv_result result = decode_catalog(plan, paths.catalog.c_str(), catalog_name, catalog))
        return result;
    if (usbdrv_result result = check_members(plan, paths.inf.c_str(), *catalog.trust_list))
        return result;
    if (usbdrv_result result = check_signer(plan, catalog.message.get()))
        return result;
    usbdrv_log(USBDRV_LOG_INFO, kCaller,
               "the package in '%s' is the one a preparation writes now, and its catalog's signer "
               "is trusted",
               plan.dir);
    return USBDRV_OK;
}

}  // namespace

usbdrv_result usbdrv_check_prepared_driver(const usbdrv_device_entry* device, const char* path,
                                           const char* inf_name,
                                           const usbdrv_prepare_options* options) {
    // Held as a preparation holds it: no preparation rewrites the folder while it is read.
    busy_marker busy(kPreparationMarker);
    if (usbdrv_result result = busy.state())
        return result;
    if (usbdrv_result result = refuse_while_installing(kCaller, "checked"))
        return result;
    return check(device, path, inf_name, options);
}
