#include "package/signing.h"

#include <cstdlib>
#include <initializer_list>

#include "base/log.h"
#include "base/signature_profile.h"
#include "win/handles.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"
#include "win/windows_error.h"
#include "win/windows_version.h"

namespace {

constexpr char kSelfSign[] = "SelfSignFile";
constexpr char kRemove[] = "RemoveCertFromStore";
constexpr char kCreate[] = "CreateSelfSignedCert";
constexpr char kAdd[] = "AddCertToStore";
constexpr char kDelete[] = "DeletePrivateKey";
constexpr char kTrust[] = "TrustSigner";
constexpr char kLeftover[] = "DeleteLeftoverKeyContainer";

constexpr wchar_t kKeyContainer[] = L"usbdrv key container";
constexpr wchar_t kFriendlyName[] = L"usbdrv";
constexpr char kRootStore[] = "Root";
constexpr char kPublisherStore[] = "TrustedPublisher";

constexpr wchar_t kProjectPage[] = L"" USBDRV_PROJECT_PAGE;
constexpr char kPracticeStatementPage[] = USBDRV_PRACTICE_STATEMENT_PAGE;

// RSA, 1024 bits (upper 16 bits), exportable.
constexpr DWORD kKeyPairFlags = (1024u << 16) | CRYPT_EXPORTABLE;

const char* shown(const char* text) {
    return text ? text : "(null)";
}

// Looks the functions up in this order; the first one missing is logged under `caller` and
// fails the whole operation.
bool look_up(const char* caller, std::initializer_list<runtime_import_slot*> functions) {
    for (runtime_import_slot* function : functions) {
        if (!function->resolve(caller))
            return false;
    }
    return true;
}

// An encoding made by the system, in memory from malloc.
struct encoded {
    unique_malloc<BYTE> bytes;
    DWORD size = 0;
};

// The size query, the allocation and the encoding, for a system call that encodes into a
// caller's buffer: call(buffer, &size) with a null buffer asks for the size. ERROR_SUCCESS, or
// the error of the step that failed, read at once.
template <typename Call>
DWORD encode_with(Call call, encoded& out) {
    DWORD size = 0;
    if (!call(nullptr, &size))
        return GetLastError();
    unique_malloc<BYTE> bytes(static_cast<BYTE*>(malloc(size ? size : 1)));
    if (!bytes)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (!call(bytes.get(), &size))
        return GetLastError();
    out.bytes = std::move(bytes);
    out.size = size;
    return ERROR_SUCCESS;
}

DWORD encode_object(LPCSTR structure_type, const void* info, encoded& out) {
    auto encode = imports.CryptEncodeObject.get_quietly();
    return encode_with(
        [&](BYTE* buffer, DWORD* size) {
            return encode(X509_ASN_ENCODING, structure_type, info, buffer, size);
        },
        out);
}

DWORD encode_subject(const char* subject, encoded& out) {
    if (!subject)
        return ERROR_INVALID_PARAMETER;
    auto to_name = imports.CertStrToNameA.get_quietly();
    return encode_with(
        [&](BYTE* buffer, DWORD* size) {
            return to_name(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, buffer, size,
                           nullptr);
        },
        out);
}

// A store that cannot be opened is logged under `caller`, unless that is null.
unique_cert_store open_machine_store(const char* name, const char* caller) {
    unique_cert_store store(imports.CertOpenStore.get_quietly()(
        CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name));
    if (!store && caller) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, caller, error, "failed to open system store '%s': %s",
                         shown(name));
    }
    return store;
}

bool set_friendly_name(const char* caller, PCCERT_CONTEXT certificate) {
    CRYPT_DATA_BLOB name = {sizeof kFriendlyName,
                            reinterpret_cast<BYTE*>(const_cast<wchar_t*>(kFriendlyName))};
    if (imports.CertSetCertificateContextProperty.get_quietly()(
            certificate, CERT_FRIENDLY_NAME_PROP_ID, 0, &name)) {
        return true;
    }
    DWORD error = GetLastError();
    LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, caller, error, "coud not set friendly name: %s");
    return false;
}

// The certificate's three extensions, encoded in their order.
struct certificate_extensions {
    encoded key_usage;
    encoded alternative_name;
    encoded practice_statement;  // the policy qualifier's value
    encoded policies;
};

bool encode_extensions(certificate_extensions& out) {
    LPSTR code_signing = const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING);
    CERT_ENHKEY_USAGE usage = {1, &code_signing};
    if (DWORD error = encode_object(X509_ENHANCED_KEY_USAGE, &usage, out.key_usage)) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCreate, error,
                         "could not setup EKU for code signing: %s");
        return false;
    }

    CERT_ALT_NAME_ENTRY page = {};
    page.dwAltNameChoice = CERT_ALT_NAME_URL;
    page.pwszURL = const_cast<LPWSTR>(kProjectPage);
    CERT_ALT_NAME_INFO names = {1, &page};
    if (DWORD error = encode_object(X509_ALTERNATE_NAME, &names, out.alternative_name)) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCreate, error, "could not setup URL: %s");
        return false;
    }

    // The byte count takes the terminating zero along.
    CERT_NAME_VALUE statement = {
        CERT_RDN_IA5_STRING,
        {sizeof kPracticeStatementPage,
         reinterpret_cast<BYTE*>(const_cast<char*>(kPracticeStatementPage))}};
    if (DWORD error = encode_object(X509_NAME_VALUE, &statement, out.practice_statement)) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCreate, error, "could not setup CPS: %s");
        return false;
    }

    CERT_POLICY_QUALIFIER_INFO qualifier = {
        const_cast<LPSTR>(szOID_PKIX_POLICY_QUALIFIER_CPS),
        {out.practice_statement.size, out.practice_statement.bytes.get()}};
    CERT_POLICY_INFO policy = {const_cast<LPSTR>(szOID_PKIX_POLICY_QUALIFIER_CPS), 1, &qualifier};
    CERT_POLICIES_INFO policies = {1, &policy};
    if (DWORD error = encode_object(X509_CERT_POLICIES, &policies, out.policies)) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCreate, error,
                         "could not setup Certificate Policies: %s");
        return false;
    }
    return true;
}

// Generates the key pair in the machine key container, creating the container when it does not
// exist yet; logs nothing, so that a generation ahead of the signing logs what one at it does.
// Both handles are given back before it returns: Wine writes the pair into the container only
// then (see CreateSelfSignedCert).
key_generation generate_key_pair() {
    constexpr DWORD kFlags = CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
    key_generation outcome;
    unique_crypt_provider provider;
    if (!imports.CryptAcquireContextW(provider.put(), kKeyContainer, nullptr, PROV_RSA_FULL,
                                      kFlags)) {
        DWORD error = GetLastError();
        if (error == static_cast<DWORD>(NTE_BAD_KEYSET)) {
            if (imports.CryptAcquireContextW(provider.put(), kKeyContainer, nullptr, PROV_RSA_FULL,
                                             kFlags | CRYPT_NEWKEYSET)) {
                outcome.created_container = true;
            } else {
                error = GetLastError();
            }
        }
        if (!outcome.created_container) {
            outcome.container_failed = true;
            outcome.error = error;
            return outcome;
        }
    }
    unique_crypt_key key;
    if (!imports.CryptGenKey(provider.get(), AT_SIGNATURE, kKeyPairFlags, key.put()))
        outcome.error = GetLastError();
    return outcome;
}

// The full RSA provider knows no SHA-2 (SHA-256 with RSA on every version after Windows 7); the
// AES provider does, over the same key containers. When the certificate call refuses the
// algorithm, the certificate is signed through the container opened with that provider, as the
// call's documentation allows (a provider handle to sign with). The key provider info still names
// the container as the full provider's: the signer and the deletion open it by that. Returns the
// certificate, or none with `error` set.
template <typename Create>
PCCERT_CONTEXT create_through_aes_provider(Create create, const char* algorithm, DWORD& error) {
    usbdrv_log(USBDRV_LOG_INFO, kCreate,
               "the default provider cannot sign with '%s': signing the certificate through "
               "the AES provider with the same key container",
               algorithm);
    unique_crypt_provider aes;
    if (!imports.CryptAcquireContextW(aes.put(), kKeyContainer, nullptr, PROV_RSA_AES,
                                      CRYPT_MACHINE_KEYSET | CRYPT_SILENT)) {
        error = GetLastError();
        return nullptr;
    }
    PCCERT_CONTEXT certificate = create(aes.get());
    if (!certificate)
        error = GetLastError();
    return certificate;
}

// Signs the file with the certificate, whose key the signer finds through the certificate's key
// provider info.
bool sign_with(PCCERT_CONTEXT certificate, const char* file_path) {
    unique_malloc<wchar_t> path(utf8_to_utf16(file_path));
    if (!path) {
        usbdrv_log(USBDRV_LOG_WARNING, kSelfSign, "unable to convert '%s' to UTF16",
                   shown(file_path));
        return false;
    }

    SIGNER_FILE_INFO file = {sizeof file, path.get(), nullptr};
    DWORD index = 0;
    SIGNER_SUBJECT_INFO subject_info = {sizeof subject_info, &index, SIGNER_SUBJECT_FILE, {}};
    subject_info.pSignerFileInfo = &file;

    SIGNER_CERT_STORE_INFO store_info = {sizeof store_info, certificate, SIGNER_CERT_POLICY_CHAIN,
                                         nullptr};
    SIGNER_CERT signer = {sizeof signer, SIGNER_CERT_STORE, {}, nullptr};
    signer.pCertStoreInfo = &store_info;

    CRYPT_ATTR_BLOB values[2];
    CRYPT_ATTRIBUTE attributes[2];
    for (int i = 0; i < 2; i++) {
        const signature_attribute& a = kSignatureAttributes[i];
        values[i] = {static_cast<DWORD>(a.size), const_cast<BYTE*>(a.value)};
        attributes[i] = {const_cast<LPSTR>(a.oid), 1, &values[i]};
    }
    CRYPT_ATTRIBUTES authenticated = {2, attributes};
    // SHA-256 on every Windows version, whatever signs the certificate itself.
    SIGNER_SIGNATURE_INFO signature = {sizeof signature, CALG_SHA_256, SIGNER_NO_ATTR, {},
                                       &authenticated,   nullptr};

    unique_signer_context context;
    HRESULT result = imports.SignerSignEx.get_quietly()(
        0, &subject_info, &signer, &signature, nullptr, nullptr, nullptr, nullptr, context.put());
    DWORD error = GetLastError();
    if (result != S_OK) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kSelfSign, error,
                         "SignerSignEx failed. hResult #%X, error %s",
                         static_cast<unsigned>(result));
        return false;
    }
    usbdrv_log(USBDRV_LOG_INFO, kSelfSign, "successfully signed file '%s'", file_path);
    return true;
}

}  // namespace

early_key_pair::~early_key_pair() {
    if (!started())
        return;
    wait();
    // Generated but never taken (the preparation failed before its signing): the container goes
    // with it, as a signing's does.
    if (!taken_ && !outcome_.container_failed && outcome_.error == ERROR_SUCCESS)
        DeleteLeftoverKeyContainer();
}

bool early_key_pair::start() {
    thread_.reset(CreateThread(nullptr, 0, generate, this, 0, nullptr));
    return started();
}

const key_generation& early_key_pair::wait() {
    if (started() && !waited_) {
        WaitForSingleObject(thread_.get(), INFINITE);
        waited_ = true;
    }
    return outcome_;
}

DWORD WINAPI early_key_pair::generate(void* self) {
    static_cast<early_key_pair*>(self)->outcome_ = generate_key_pair();
    return 0;
}

bool SelfSignFile(const char* file_path, const char* subject, unique_cert_context& signer,
                  early_key_pair* early_key) {
    signer.reset();
    if (!look_up(kSelfSign, {&imports.SignerSignEx, &imports.SignerFreeSignerContext,
                             &imports.CertFreeCertificateContext})) {
        return false;
    }

    unique_cert_context certificate(CreateSelfSignedCert(subject, early_key));
    if (!certificate)
        return false;
    usbdrv_log(USBDRV_LOG_DEBUG, kSelfSign, "successfully created certificate '%s'",
               shown(subject));

    bool signed_file = sign_with(certificate.get(), file_path);

    // Whatever became of the signature: nothing may ever sign with this key again. The stores
    // get the certificate only once its key is gone, so that no certificate the machine trusts
    // has a private key on this machine, not even while a run that is ended from outside is
    // half-way.
    bool key_deleted = DeletePrivateKey(certificate.get());
    if (key_deleted)
        usbdrv_log(USBDRV_LOG_INFO, kSelfSign, "successfully deleted private key");
    if (!signed_file)
        return false;
    if (!key_deleted) {
        usbdrv_log(USBDRV_LOG_WARNING, kSelfSign,
                   "the private key of '%s' may still exist: its certificate is not trusted",
                   shown(subject));
        return false;
    }
    signer = std::move(certificate);
    return true;
}

bool TrustSigner(PCCERT_CONTEXT certificate, const char* subject) {
    RemoveCertFromStore(subject, kRootStore);
    RemoveCertFromStore(subject, kPublisherStore);
    // Not trusted as a publisher unless trusted as a root first.
    if (!AddCertToStore(certificate, kRootStore))
        return false;
    usbdrv_log(USBDRV_LOG_DEBUG, kTrust, "added certificate '%s' to 'Root' store", shown(subject));
    if (!AddCertToStore(certificate, kPublisherStore))
        return false;
    usbdrv_log(USBDRV_LOG_INFO, kTrust,
               "added certificate '%s' to 'Root' and 'TrustedPublisher' stores", shown(subject));
    return true;
}

bool DeleteLeftoverKeyContainer() {
    HCRYPTPROV none = 0;
    if (imports.CryptAcquireContextW(&none, kKeyContainer, nullptr, PROV_RSA_FULL,
                                     CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT)) {
        usbdrv_log(USBDRV_LOG_INFO, kLeftover,
                   "deleted the key container a preparation that did not end left behind");
        return true;
    }
    DWORD error = GetLastError();
    if (error == static_cast<DWORD>(NTE_BAD_KEYSET))
        return true;
    LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kLeftover, error,
                     "could not delete the key container a preparation that did not end left "
                     "behind: %s");
    return false;
}

bool RemoveCertFromStore(const char* subject, const char* store_name) {
    if (!look_up(kRemove, {&imports.CertOpenStore, &imports.CertFindCertificateInStore,
                           &imports.CertDeleteCertificateFromStore, &imports.CertCloseStore,
                           &imports.CertStrToNameA})) {
        return false;
    }

    unique_cert_store store = open_machine_store(store_name, kRemove);
    if (!store)
        return false;
    encoded name;
    if (DWORD error = encode_subject(subject, name)) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kRemove, error, "failed to encode'%s': %s",
                         shown(subject));
        return false;
    }

    CERT_NAME_BLOB wanted = {name.size, name.bytes.get()};
    auto find = imports.CertFindCertificateInStore.get_quietly();
    auto remove = imports.CertDeleteCertificateFromStore.get_quietly();
    bool deleted = false;
    bool searched_to_the_end = true;
    // Every search starts at the beginning of the store: a deletion ends the enumeration.
    while (PCCERT_CONTEXT found =
               find(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME, &wanted, nullptr)) {
        // The deletion gives the context back, whether or not it succeeds.
        if (!remove(found)) {
            // It would be found again, and again: stop here.
            DWORD error = GetLastError();
            LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kRemove, error,
                             "failed to delete certificate '%s' from '%s' store: %s",
                             shown(subject), store_name);
            searched_to_the_end = false;
            break;
        }
        deleted = true;
        usbdrv_log(USBDRV_LOG_INFO, kRemove, "deleted existing certificate '%s' from '%s' store",
                   shown(subject), store_name);
    }
    // Windows has written the deletions through already. Wine keeps them in memory until they are
    // committed, and closing the store drops them: the certificates would come back. Only Wine
    // needs the commit, so a system without it is no failure.
    auto commit = imports.CertControlStore.get_quietly();
    if (deleted && commit)
        commit(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
    return searched_to_the_end;
}

PCCERT_CONTEXT CreateSelfSignedCert(const char* subject, early_key_pair* early_key) {
    if (!look_up(kCreate,
                 {&imports.CryptEncodeObject, &imports.CertStrToNameA,
                  &imports.CertCreateSelfSignCertificate, &imports.CertFreeCertificateContext})) {
        return nullptr;
    }

    certificate_extensions encodings;
    if (!encode_extensions(encodings))
        return nullptr;
    usbdrv_log(USBDRV_LOG_DEBUG, kCreate, "set Enhanced Key Usage, URL and CPS");

    // Generated while the files were written, or now.
    const key_generation generated =
        early_key && early_key->started() ? early_key->wait() : generate_key_pair();
    if (generated.container_failed) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCreate, generated.error,
                         "could not obtain a key container: %s");
        return nullptr;
    }
    usbdrv_log(USBDRV_LOG_DEBUG, kCreate,
               generated.created_container ? "created new key container"
                                           : "acquired existing key container");
    if (generated.error != ERROR_SUCCESS) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_DEBUG, kCreate, generated.error,
                         "could not generate keypair: %s");
        return nullptr;
    }
    usbdrv_log(USBDRV_LOG_DEBUG, kCreate, "generated new keypair");

    encoded name;
    if (DWORD error = encode_subject(subject, name)) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCreate, error,
                         "could not encode subject name for self signed cert: %s");
        return nullptr;
    }
    CERT_NAME_BLOB subject_name = {name.size, name.bytes.get()};

    if (windows_version == -1)
        detect_windows_version();
    CRYPT_ALGORITHM_IDENTIFIER algorithm = {
        const_cast<LPSTR>(certificate_signature_algorithm(windows_version)), {0, nullptr}};

    // The certificate names its key by container, so that the signer finds it.
    CRYPT_KEY_PROV_INFO key_info = {const_cast<LPWSTR>(kKeyContainer),
                                    nullptr,
                                    PROV_RSA_FULL,
                                    CRYPT_MACHINE_KEYSET,
                                    0,
                                    nullptr,
                                    AT_SIGNATURE};
    // Valid from now until 1 January 2029, 00:00 (a Monday).
    SYSTEMTIME end = {2029, 1, 1, 1, 0, 0, 0, 0};
    CERT_EXTENSION extensions[] = {
        {const_cast<LPSTR>(szOID_ENHANCED_KEY_USAGE),
         TRUE,
         {encodings.key_usage.size, encodings.key_usage.bytes.get()}},
        {const_cast<LPSTR>(szOID_SUBJECT_ALT_NAME),
         FALSE,
         {encodings.alternative_name.size, encodings.alternative_name.bytes.get()}},
        {const_cast<LPSTR>(szOID_CERT_POLICIES),
         FALSE,
         {encodings.policies.size, encodings.policies.bytes.get()}},
    };
    CERT_EXTENSIONS extension_list = {3, extensions};

    // The certificate call opens the container by name and takes the key pair it finds there.
    // Wine writes a new key pair into the container only when its handle is given back; with the
    // handle still held, the call made a key pair of its own for the certificate, which the held
    // one then overwrote. The generation has given its handles back; Windows has stored the pair
    // at once, where that changes nothing.
    auto create = [&](HCRYPTPROV signer) {
        return imports.CertCreateSelfSignCertificate.get_quietly()(
            signer, &subject_name, 0, &key_info, &algorithm, nullptr, &end, &extension_list);
    };
    PCCERT_CONTEXT certificate = create(0);
    DWORD error = certificate ? ERROR_SUCCESS : GetLastError();
    // Wine's call loses the provider's NTE_BAD_ALGID and fails without an error.
    if (!certificate && (error == static_cast<DWORD>(NTE_BAD_ALGID) || error == ERROR_SUCCESS))
        certificate = create_through_aes_provider(create, algorithm.pszObjId, error);
    if (!certificate) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCreate, error,
                         "could not create self signed certificate: %s");
        return nullptr;
    }
    usbdrv_log(USBDRV_LOG_INFO, kCreate, "created new self-signed certificate '%s'", subject);
    if (early_key)
        early_key->taken();
    return certificate;
}

bool AddCertToStore(PCCERT_CONTEXT certificate, const char* store_name) {
    if (!look_up(kAdd, {&imports.CertOpenStore, &imports.CertSetCertificateContextProperty,
                        &imports.CertAddCertificateContextToStore, &imports.CertCloseStore})) {
        return false;
    }

    unique_cert_store store = open_machine_store(store_name, kAdd);
    if (!store)
        return false;
    if (!set_friendly_name(kAdd, certificate))
        return false;
    if (!imports.CertAddCertificateContextToStore.get_quietly()(
            store.get(), certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kAdd, error,
                         "failed to add certificate to system store '%s': %s", store_name);
        return false;
    }
    return true;
}

bool DeletePrivateKey(PCCERT_CONTEXT certificate) {
    if (!look_up(kDelete, {&imports.CryptAcquireCertificatePrivateKey,
                           &imports.CertSetCertificateContextProperty,
                           &imports.CertFreeCertificateContext})) {
        return false;
    }

    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE csp = 0;
    DWORD key_spec = 0;
    BOOL caller_frees = FALSE;
    if (imports.CryptAcquireCertificatePrivateKey.get_quietly()(
            certificate, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &csp, &key_spec, &caller_frees)) {
        // Given back at once: the container goes next.
        unique_crypt_provider owned_csp(caller_frees ? csp : 0);
    } else {
        DWORD error = GetLastError();
        // The key is deleted all the same: the container is known by name. Only a container
        // that cannot be deleted below is worth a warning.
        LOG_SYSTEM_ERROR(USBDRV_LOG_DEBUG, kDelete, error, "error getting CSP: %s");
    }

    bool deleted = true;
    HCRYPTPROV none = 0;
    if (!imports.CryptAcquireContextW(&none, kKeyContainer, nullptr, PROV_RSA_FULL,
                                      CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT)) {
        DWORD error = GetLastError();
        // A container that does not exist holds no key.
        deleted = error == static_cast<DWORD>(NTE_BAD_KEYSET);
        if (!deleted) {
            LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kDelete, error,
                             "failed to delete private key: %s");
        }
    }

    // The certificate stops naming the key, so that the copies the stores get from it do not
    // name it either.
    if (!imports.CertSetCertificateContextProperty.get_quietly()(
            certificate, CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr)) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kDelete, error,
                         "could not drop the certificate's reference to its key: %s");
    }
    return deleted;
}
