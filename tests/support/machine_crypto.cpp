#include "machine_crypto.h"

#include <gtest/gtest.h>

#include <fstream>

namespace test {

const char* const kTrustStores[2] = {"Root", "TrustedPublisher"};

std::string hex(const BYTE* data, size_t size) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < size; i++)
        text += std::string{kDigits[data[i] >> 4], kDigits[data[i] & 0xF]};
    return text;
}

std::string sha1_of_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string content{std::istreambuf_iterator<char>(in), {}};
    unique_crypt_provider provider;
    HCRYPTHASH hash = 0;
    BYTE value[20] = {};
    DWORD size = sizeof value;
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT) ||
        !CryptCreateHash(provider.get(), CALG_SHA1, 0, 0, &hash)) {
        return "(no hash)";
    }
    scope_guard destroy([hash] { CryptDestroyHash(hash); });
    if (!CryptHashData(hash, reinterpret_cast<const BYTE*>(content.data()),
                       static_cast<DWORD>(content.size()), 0) ||
        !CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0)) {
        return "(no hash)";
    }
    return hex(value, size);
}

catalog_view read_catalog(const std::filesystem::path& path) {
    catalog_view view;
    std::ifstream in(path, std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), {}};
    unique_crypt_message message(
        CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
    if (!message || !CryptMsgUpdate(message.get(), reinterpret_cast<const BYTE*>(file.data()),
                                    static_cast<DWORD>(file.size()), TRUE)) {
        return view;
    }
    DWORD size = sizeof view.signers;
    CryptMsgGetParam(message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &view.signers, &size);
    size = 0;
    CryptMsgGetParam(message.get(), CMSG_CONTENT_PARAM, 0, nullptr, &size);
    view.trust_list.resize(size);
    view.decoded = CryptMsgGetParam(message.get(), CMSG_CONTENT_PARAM, 0, view.trust_list.data(),
                                    &size) != FALSE;
    return view;
}

unique_cert_store machine_store(const char* name) {
    return unique_cert_store(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0,
                                           CERT_SYSTEM_STORE_LOCAL_MACHINE, name));
}

std::vector<BYTE> encoded_name(const char* x500) {
    DWORD size = 0;
    CertStrToNameA(X509_ASN_ENCODING, x500, CERT_X500_NAME_STR, nullptr, nullptr, &size, nullptr);
    std::vector<BYTE> name(size);
    CertStrToNameA(X509_ASN_ENCODING, x500, CERT_X500_NAME_STR, nullptr, name.data(), &size,
                   nullptr);
    return name;
}

std::vector<unique_cert_context> certificates_in(const char* store_name, const char* subject) {
    std::vector<unique_cert_context> found;
    unique_cert_store store = machine_store(store_name);
    if (!store) {
        ADD_FAILURE() << "cannot open " << store_name << ": " << GetLastError();
        return found;
    }
    std::vector<BYTE> name = encoded_name(subject);
    CERT_NAME_BLOB wanted = {static_cast<DWORD>(name.size()), name.data()};
    PCCERT_CONTEXT previous = nullptr;
    while (PCCERT_CONTEXT next = CertFindCertificateInStore(
               store.get(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME, &wanted, previous)) {
        // The search frees the previous context: keep a duplicate.
        found.emplace_back(CertDuplicateCertificateContext(next));
        previous = next;
    }
    return found;
}

void remove_certificates(const char* subject) {
    for (const char* store_name : kTrustStores) {
        unique_cert_store store = machine_store(store_name);
        std::vector<BYTE> name = encoded_name(subject);
        CERT_NAME_BLOB wanted = {static_cast<DWORD>(name.size()), name.data()};
        while (PCCERT_CONTEXT c = CertFindCertificateInStore(
                   store.get(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME, &wanted, nullptr)) {
            if (!CertDeleteCertificateFromStore(c))
                break;
        }
        // Wine drops deletions from a system store that are not committed.
        CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
}

bool machine_container_exists(const wchar_t* name) {
    unique_crypt_provider provider;
    return CryptAcquireContextW(provider.put(), name, nullptr, PROV_RSA_FULL,
                                CRYPT_MACHINE_KEYSET | CRYPT_SILENT) != FALSE;
}

void delete_machine_container(const wchar_t* name) {
    HCRYPTPROV none = 0;
    CryptAcquireContextW(&none, name, nullptr, PROV_RSA_FULL,
                         CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT);
}

}  // namespace test
