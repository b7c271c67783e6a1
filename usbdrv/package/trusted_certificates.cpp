// The certificates that signing put into the machine's trust stores, as an administrator lists
// them and takes them off the machine again. Only the library's own are ever listed or deleted:
// self-signed, with a subject of the generated form (is_generated_signer_subject). A certificate
// of another maker stays whatever its name resembles, so that these functions cannot be used to
// take trust away from anyone else.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/catalog_rules.h"
#include "base/log.h"
#include "base/package_values.h"
#include "package/trusted_certificates.h"
#include "usbdrv/usbdrv.h"
#include "win/handles.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"
#include "win/windows_error.h"

// The record's texts are exactly as long as what they hold.
static_assert(sizeof(usbdrv_certificate_entry::thumbprint) == 2 * kThumbprintBytes + 1);
static_assert(kThumbprintBytes == kFileHashBytes, "the thumbprint is written as a hash tag");
static_assert(sizeof(usbdrv_certificate_entry::not_after) == sizeof "YYYY-MM-DD hh:mm:ss");

namespace {

constexpr char kList[] = "usbdrv_list_certificates";
constexpr char kRemove[] = "usbdrv_remove_certificate";

// What the listing's rule decides of one certificate.
enum class verdict { ours, not_ours, failed };

// The subject as X.500 text in UTF-8, into the entry's field; false when it does not fit whole
// (a cut text could pass the rule that the whole one fails) or cannot be written.
bool subject_text(PCCERT_CONTEXT certificate,
                  char (&subject)[sizeof(usbdrv_certificate_entry::subject)]) {
    auto to_text = imports.CertNameToStrW.get_quietly();
    CERT_NAME_BLOB* name = &certificate->pCertInfo->Subject;
    // The count includes the terminator. More units than the field has bytes do not fit in UTF-8
    // either.
    DWORD units = to_text(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, nullptr, 0);
    if (units == 0 || units > sizeof subject)
        return false;
    wchar_t wide[sizeof subject];
    to_text(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, wide, units);
    wide[units - 1] = L'\0';
    unique_malloc<char> utf8(utf16_to_utf8(wide));
    if (!utf8 || strlen(utf8.get()) >= sizeof subject)
        return false;
    strcpy(subject, utf8.get());
    return true;
}

// Decides whether `certificate` is one of the library's own and, when it is, fills the entry's
// subject, thumbprint and end of validity. A failure is logged under `caller`.
verdict describe(PCCERT_CONTEXT certificate, const char* caller, usbdrv_certificate_entry& entry) {
    const CERT_INFO& info = *certificate->pCertInfo;
    if (!is_self_signed(info))
        return verdict::not_ours;
    if (!subject_text(certificate, entry.subject) || !is_generated_signer_subject(entry.subject))
        return verdict::not_ours;

    uint8_t hash[kThumbprintBytes];
    DWORD size = sizeof hash;
    if (!imports.CertGetCertificateContextProperty.get_quietly()(
            certificate, CERT_SHA1_HASH_PROP_ID, hash, &size) ||
        size != sizeof hash) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller, error, "could not hash certificate '%s': %s",
                         entry.subject);
        return verdict::failed;
    }
    memcpy(entry.thumbprint, hash_tag_of(hash).text, sizeof entry.thumbprint);

    SYSTEMTIME end = {};
    if (FileTimeToSystemTime(&info.NotAfter, &end)) {
        snprintf(entry.not_after, sizeof entry.not_after, "%04u-%02u-%02u %02u:%02u:%02u",
                 end.wYear % 10000u, end.wMonth % 100u, end.wDay % 100u, end.wHour % 100u,
                 end.wMinute % 100u, end.wSecond % 100u);
    } else {
        entry.not_after[0] = '\0';
    }
    return verdict::ours;
}

unique_cert_store open_store(const char* name, DWORD flags) {
    return unique_cert_store(imports.CertOpenStore.get_quietly()(
        CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0,
        CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG | flags, name));
}

bool is_access_denied(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == static_cast<DWORD>(E_ACCESSDENIED);
}

// Appends the library's certificates in the store to the list whose last `next` is *tail.
usbdrv_result list_store(const char* name, usbdrv_certificate_entry**& tail) {
    unique_cert_store store = open_store(name, CERT_STORE_READONLY_FLAG);
    if (!store) {
        DWORD error = GetLastError();
        // A store that was never made (the system makes TrustedPublisher at its first
        // certificate) holds none of ours.
        if (error == ERROR_FILE_NOT_FOUND) {
            usbdrv_log(USBDRV_LOG_DEBUG, kList, "the machine has no store '%s' - none in it", name);
            return USBDRV_OK;
        }
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kList, error,
                         "could not open the machine store '%s' to read it: %s", name);
        return USBDRV_ERR_ACCESS;
    }
    auto next_in = imports.CertEnumCertificatesInStore.get_quietly();
    unique_cert_context current;
    // Each step gives the previous context back, also the last one, which finds no next.
    while (PCCERT_CONTEXT next = next_in(store.get(), current.release())) {
        current.reset(next);
        usbdrv_certificate_entry entry = {};
        verdict v = describe(current.get(), kList, entry);
        if (v == verdict::failed)
            return USBDRV_ERR_RESOURCE;
        if (v == verdict::not_ours)
            continue;
        auto* node = static_cast<usbdrv_certificate_entry*>(malloc(sizeof entry));
        if (!node) {
            usbdrv_log(USBDRV_LOG_ERROR, kList, "out of memory");
            return USBDRV_ERR_RESOURCE;
        }
        snprintf(entry.store, sizeof entry.store, "%s", name);
        *node = entry;
        *tail = node;
        tail = &node->next;
    }
    return USBDRV_OK;
}

// A field of the caller's record, which may lack its terminator, as far as it can be printed.
template <size_t N>
int shown_length(const char (&field)[N]) {
    return static_cast<int>(strnlen(field, N));
}

// Makes Wine keep a deletion from a system store, which it drops when the store closes
// uncommitted. Windows has written it through: there the commit has nothing to do, and a system
// without the function is no failure.
bool commit_deletion(HCERTSTORE store) {
    auto commit = imports.CertControlStore.get_quietly();
    return !commit || commit(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

}  // namespace

bool is_self_signed(const CERT_INFO& info) {
    return info.Subject.cbData == info.Issuer.cbData &&
           memcmp(info.Subject.pbData, info.Issuer.pbData, info.Subject.cbData) == 0;
}

bool machine_store_holds(const char* store, PCCERT_CONTEXT certificate, const char* thumbprint) {
    // The certificate's own entry where adding it to the machine's system store put it. The
    // system store itself is not opened: Wine reads every root certificate of the host into it at
    // each process's first open (about 135 ms), and the entry is all this needs.
    char path[128];
    const int length =
        snprintf(path, sizeof path, "Software\\Microsoft\\SystemCertificates\\%s\\Certificates\\%s",
                 store, thumbprint);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path)
        return false;
    HKEY opened = nullptr;
    if (imports.RegOpenKeyExA.call_or(ERROR_PROC_NOT_FOUND, HKEY_LOCAL_MACHINE, path, 0,
                                      KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
        return false;
    unique_registry_key key(opened);
    // A serialized certificate with its properties; anything near this size is not one of ours.
    constexpr DWORD kLargestEntry = 64 * 1024;
    DWORD type = 0, size = 0;
    if (imports.RegQueryValueExA.call_or(ERROR_PROC_NOT_FOUND, key.get(), "Blob", nullptr, &type,
                                         nullptr, &size) != ERROR_SUCCESS ||
        type != REG_BINARY || size == 0 || size > kLargestEntry) {
        return false;
    }
    unique_malloc<BYTE> blob(static_cast<BYTE*>(malloc(size)));
    if (!blob || imports.RegQueryValueExA.call_or(ERROR_PROC_NOT_FOUND, key.get(), "Blob", nullptr,
                                                  &type, blob.get(), &size) != ERROR_SUCCESS) {
        return false;
    }
    auto deserialize = imports.CertAddSerializedElementToStore.get_quietly();
    const void* context = nullptr;
    DWORD context_type = 0;
    if (!deserialize ||
        !deserialize(nullptr, blob.get(), size, CERT_STORE_ADD_ALWAYS, 0,
                     CERT_STORE_CERTIFICATE_CONTEXT_FLAG, &context_type, &context)) {
        return false;
    }
    unique_cert_context held(static_cast<PCCERT_CONTEXT>(context));
    // The entry is the certificate itself, not only one under its name.
    return context_type == CERT_STORE_CERTIFICATE_CONTEXT &&
           held.get()->cbCertEncoded == certificate->cbCertEncoded &&
           memcmp(held.get()->pbCertEncoded, certificate->pbCertEncoded,
                  certificate->cbCertEncoded) == 0;
}

usbdrv_result usbdrv_list_certificates(usbdrv_certificate_entry** list) {
    if (!list) {
        usbdrv_log(USBDRV_LOG_ERROR, kList, "no list to fill");
        return USBDRV_ERR_INVALID_PARAM;
    }
    *list = nullptr;
    if (!look_up_all(kList, imports.CertOpenStore, imports.CertCloseStore,
                     imports.CertEnumCertificatesInStore, imports.CertFreeCertificateContext,
                     imports.CertNameToStrW, imports.CertGetCertificateContextProperty)) {
        return USBDRV_ERR_RESOURCE;
    }
    usbdrv_certificate_entry* first = nullptr;
    usbdrv_certificate_entry** tail = &first;
    for (const char* name : kTrustStoreNames) {
        if (usbdrv_result r = list_store(name, tail)) {
            *tail = nullptr;
            usbdrv_destroy_certificate_list(first);
            return r;
        }
    }
    *tail = nullptr;
    *list = first;
    return USBDRV_OK;
}

usbdrv_result usbdrv_destroy_certificate_list(usbdrv_certificate_entry* list) {
    while (list) {
        usbdrv_certificate_entry* next = list->next;
        free(list);
        list = next;
    }
    return USBDRV_OK;
}

usbdrv_result usbdrv_remove_certificate(const usbdrv_certificate_entry* certificate) {
    if (!certificate) {
        usbdrv_log(USBDRV_LOG_ERROR, kRemove, "no certificate given");
        return USBDRV_ERR_INVALID_PARAM;
    }
    const usbdrv_certificate_entry& given = *certificate;
    if (!memchr(given.store, '\0', sizeof given.store) || !is_trust_store_name(given.store)) {
        usbdrv_log(USBDRV_LOG_ERROR, kRemove,
                   "'%.*s' is not a store the library trusts its certificates in ('Root', "
                   "'TrustedPublisher')",
                   shown_length(given.store), given.store);
        return USBDRV_ERR_INVALID_PARAM;
    }
    uint8_t hash[kThumbprintBytes];
    if (!parse_thumbprint(given.thumbprint, hash)) {
        usbdrv_log(USBDRV_LOG_ERROR, kRemove, "the thumbprint '%.*s' is not 40 hexadecimal digits",
                   shown_length(given.thumbprint), given.thumbprint);
        return USBDRV_ERR_INVALID_PARAM;
    }
    if (!look_up_all(kRemove, imports.CertOpenStore, imports.CertCloseStore,
                     imports.CertFindCertificateInStore, imports.CertDeleteCertificateFromStore,
                     imports.CertFreeCertificateContext, imports.CertNameToStrW,
                     imports.CertGetCertificateContextProperty)) {
        return USBDRV_ERR_RESOURCE;
    }

    const char* store_name = given.store;
    unique_cert_store store = open_store(store_name, 0);
    if (!store) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            usbdrv_log(USBDRV_LOG_WARNING, kRemove, "the machine has no store '%s'", store_name);
            return USBDRV_ERR_NOT_FOUND;
        }
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kRemove, error,
                         "could not open the machine store '%s' to change it: %s", store_name);
        return is_access_denied(error) ? USBDRV_ERR_NEEDS_ADMIN : USBDRV_ERR_OTHER;
    }
    CRYPT_HASH_BLOB wanted = {sizeof hash, hash};
    unique_cert_context found(imports.CertFindCertificateInStore.get_quietly()(
        store.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &wanted, nullptr));
    const hash_tag thumbprint = hash_tag_of(hash);
    if (!found) {
        usbdrv_log(USBDRV_LOG_WARNING, kRemove, "the store '%s' holds no certificate %s",
                   store_name, thumbprint.text);
        return USBDRV_ERR_NOT_FOUND;
    }
    usbdrv_certificate_entry entry = {};
    switch (describe(found.get(), kRemove, entry)) {
        case verdict::failed:
            return USBDRV_ERR_OTHER;
        case verdict::not_ours:
            usbdrv_log(USBDRV_LOG_ERROR, kRemove,
                       "certificate %s in '%s' is not one the library made: it stays",
                       thumbprint.text, store_name);
            return USBDRV_ERR_INVALID_PARAM;
        case verdict::ours:
            break;
    }
    // The deletion gives the context back, whether or not it succeeds.
    if (!imports.CertDeleteCertificateFromStore.get_quietly()(found.release())) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kRemove, error,
                         "could not delete certificate '%s' from '%s': %s", entry.subject,
                         store_name);
        return is_access_denied(error) ? USBDRV_ERR_NEEDS_ADMIN : USBDRV_ERR_OTHER;
    }
    if (!commit_deletion(store.get())) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kRemove, error,
                         "could not write the deletion of certificate '%s' from '%s': %s",
                         entry.subject, store_name);
        return is_access_denied(error) ? USBDRV_ERR_NEEDS_ADMIN : USBDRV_ERR_OTHER;
    }
    usbdrv_log(USBDRV_LOG_INFO, kRemove, "removed certificate '%s' from '%s'", entry.subject,
               store_name);
    return USBDRV_OK;
}
