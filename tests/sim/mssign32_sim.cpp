// mssign32.dll of the simulated machine (tests/sim/README.md). Wine's SignerSignEx only answers
// E_NOTIMPL; this one journals everything it was asked, waits as long as the scenario's
// [signing] wait_ms says, answers what its sign says, and otherwise signs the catalog for real:
// the file's PKCS #7 signed-data keeps its certificate trust list and gets one signer, the given
// certificate with its key, the given hash algorithm and authenticated attributes. The key's
// provider hashes and signs; signed_data.cpp encodes the message as the system's signer does.
//
// The records are the program's own declaration (signer_api.h), so that a layout cannot drift
// between the two.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "signed_data.h"
#include "sim_handles.h"
#include "sim_state.h"
#include "win/handles.h"
#include "win/signer_api.h"

namespace {

using bytes = std::vector<BYTE>;

constexpr DWORD kMessageEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Catalogs larger than this are not ours; refusing them keeps a wrong path from eating memory.
constexpr DWORD kMaxCatalogBytes = 64 * 1024 * 1024;

// A context handed out by SignerSignEx: the record, and the signed bytes it points to.
struct signer_context_block {
    SIGNER_CONTEXT context = {sizeof(SIGNER_CONTEXT), 0, nullptr};
    bytes blob;
};
// Guarded by sim::state_lock.
std::map<SIGNER_CONTEXT*, std::unique_ptr<signer_context_block>> handed_out;

std::string text_or_none(const wchar_t* text) {
    return text ? sim::utf8_of(text) : "none";
}

std::string given_or_none(const void* p) {
    return p ? "given" : "none";
}

std::string hex_bytes(const BYTE* data, DWORD size) {
    std::string text;
    char pair[3];
    for (DWORD i = 0; i < size; i++) {
        std::snprintf(pair, sizeof pair, "%02X", data[i]);
        text += pair;
    }
    return text;
}

// "oid:hex[,hex...];oid:hex", in the order given, or "none".
std::string attributes_text(const CRYPT_ATTRIBUTES* attributes) {
    if (!attributes)
        return "none";
    std::string text;
    for (DWORD i = 0; i < attributes->cAttr; i++) {
        const CRYPT_ATTRIBUTE& a = attributes->rgAttr[i];
        if (i > 0)
            text += ';';
        text += std::string(a.pszObjId ? a.pszObjId : "(null)") + ':';
        for (DWORD v = 0; v < a.cValue; v++) {
            if (v > 0)
                text += ',';
            text += hex_bytes(a.rgValue[v].pbData, a.rgValue[v].cbData);
        }
    }
    return text.empty() ? "empty" : text;
}

std::string subject_of(PCCERT_CONTEXT certificate) {
    if (!certificate)
        return "none";
    CERT_NAME_BLOB* name = &certificate->pCertInfo->Subject;
    DWORD length = CertNameToStrW(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, nullptr, 0);
    std::wstring text(length, L'\0');
    CertNameToStrW(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, text.data(), length);
    text.resize(length ? length - 1 : 0);
    return sim::utf8_of(text);
}

std::string choice_text(DWORD choice, std::initializer_list<std::pair<DWORD, const char*>> names) {
    for (const auto& [value, name] : names) {
        if (value == choice)
            return name;
    }
    return sim::hex(choice);
}

// "ok", or the records whose size field is wrong, with what it should be.
std::string sizes_text(const SIGNER_SUBJECT_INFO* subject, const SIGNER_CERT* cert,
                       const SIGNER_SIGNATURE_INFO* signature,
                       const SIGNER_PROVIDER_INFO* provider) {
    std::string wrong;
    auto check = [&](const char* record, const void* p, DWORD size, DWORD expected) {
        if (p && size != expected)
            wrong += std::string(wrong.empty() ? "" : ",") + record + " " + std::to_string(size) +
                     " not " + std::to_string(expected);
    };
    if (subject) {
        check("SIGNER_SUBJECT_INFO", subject, subject->cbSize, sizeof *subject);
        if (subject->dwSubjectChoice == SIGNER_SUBJECT_FILE && subject->pSignerFileInfo)
            check("SIGNER_FILE_INFO", subject->pSignerFileInfo, subject->pSignerFileInfo->cbSize,
                  sizeof(SIGNER_FILE_INFO));
    }
    if (cert) {
        check("SIGNER_CERT", cert, cert->cbSize, sizeof *cert);
        if (cert->dwCertChoice == SIGNER_CERT_STORE && cert->pCertStoreInfo)
            check("SIGNER_CERT_STORE_INFO", cert->pCertStoreInfo, cert->pCertStoreInfo->cbSize,
                  sizeof(SIGNER_CERT_STORE_INFO));
    }
    if (signature) {
        check("SIGNER_SIGNATURE_INFO", signature, signature->cbSize, sizeof *signature);
        if (signature->dwAttrChoice == SIGNER_AUTHCODE_ATTR && signature->pAttrAuthcode)
            check("SIGNER_ATTR_AUTHCODE", signature->pAttrAuthcode,
                  signature->pAttrAuthcode->cbSize, sizeof(SIGNER_ATTR_AUTHCODE));
    }
    check("SIGNER_PROVIDER_INFO", provider, provider ? provider->cbSize : 0, sizeof *provider);
    return wrong.empty() ? "ok" : wrong;
}

std::string provider_text(const SIGNER_PROVIDER_INFO* provider) {
    if (!provider)
        return "none";
    return text_or_none(provider->pwszProviderName) + "/" +
           std::to_string(provider->dwProviderType) + "/" + std::to_string(provider->dwKeySpec) +
           "/" + std::to_string(provider->dwPvkChoice) + "/" +
           text_or_none(provider->pwszKeyContainer);
}

// What the program asked, one journal field each ("name=value"); "none" for what it did not give
// and for what its choices leave out.
struct request_text {
    std::string flags, sizes,
        subject = "subject=none", index = "index=none", file = "file=none",
        file_handle = "file_handle=none", cert = "cert=none", policy = "policy=none",
        signing_cert = "signing_cert=none", cert_store = "cert_store=none", hwnd = "hwnd=none",
        hash = "hash=none", attr_choice = "attr_choice=none", authenticated = "authenticated=none",
        unauthenticated = "unauthenticated=none", provider, timestamp, request, sip, context;
};

request_text describe_request(DWORD flags, const SIGNER_SUBJECT_INFO* subject,
                              const SIGNER_CERT* cert, const SIGNER_SIGNATURE_INFO* signature,
                              const SIGNER_PROVIDER_INFO* provider, const wchar_t* time_stamp,
                              const void* request, const void* sip_data, SIGNER_CONTEXT** context) {
    request_text r;
    r.flags = "flags=" + sim::hex(flags);
    r.sizes = "sizes=" + sizes_text(subject, cert, signature, provider);
    if (subject) {
        r.subject = "subject=" +
                    choice_text(subject->dwSubjectChoice,
                                {{SIGNER_SUBJECT_FILE, "file"}, {SIGNER_SUBJECT_BLOB, "blob"}});
        if (subject->pdwIndex)
            r.index = "index=" + std::to_string(*subject->pdwIndex);
        if (subject->dwSubjectChoice == SIGNER_SUBJECT_FILE && subject->pSignerFileInfo) {
            r.file = "file=" + text_or_none(subject->pSignerFileInfo->pwszFileName);
            r.file_handle = "file_handle=" + given_or_none(subject->pSignerFileInfo->hFile);
        }
    }
    if (cert) {
        r.cert = "cert=" + choice_text(cert->dwCertChoice, {{SIGNER_CERT_SPC_FILE, "spc_file"},
                                                            {SIGNER_CERT_STORE, "store"},
                                                            {SIGNER_CERT_SPC_CHAIN, "spc_chain"}});
        if (cert->dwCertChoice == SIGNER_CERT_STORE && cert->pCertStoreInfo) {
            const SIGNER_CERT_STORE_INFO& store = *cert->pCertStoreInfo;
            r.policy =
                "policy=" + choice_text(store.dwCertPolicy,
                                        {{SIGNER_CERT_POLICY_STORE, "store"},
                                         {SIGNER_CERT_POLICY_CHAIN, "chain"},
                                         {SIGNER_CERT_POLICY_SPC, "spc"},
                                         {SIGNER_CERT_POLICY_CHAIN_NO_ROOT, "chain_no_root"}});
            r.signing_cert = "signing_cert=" + subject_of(store.pSigningCert);
            r.cert_store = "cert_store=" + given_or_none(store.hCertStore);
        }
        r.hwnd = "hwnd=" + given_or_none(cert->hwnd);
    }
    if (signature) {
        r.hash = "hash=" + sim::hex(signature->algidHash);
        r.attr_choice = "attr_choice=" +
                        choice_text(signature->dwAttrChoice,
                                    {{SIGNER_NO_ATTR, "none"}, {SIGNER_AUTHCODE_ATTR, "authcode"}});
        r.authenticated = "authenticated=" + attributes_text(signature->psAuthenticated);
        r.unauthenticated = "unauthenticated=" + attributes_text(signature->psUnauthenticated);
    }
    r.provider = "provider=" + provider_text(provider);
    r.timestamp = "timestamp=" + text_or_none(time_stamp);
    r.request = "request=" + given_or_none(request);
    r.sip = "sip=" + given_or_none(sip_data);
    r.context = std::string("context=") + (context ? "wanted" : "none");
    return r;
}

void journal_request(const request_text& r, const std::string& outcome) {
    sim::journal({"SignerSignEx", r.flags,        r.sizes,         r.subject,
                  r.index,        r.file,         r.file_handle,   r.cert,
                  r.policy,       r.signing_cert, r.cert_store,    r.hwnd,
                  r.hash,         r.attr_choice,  r.authenticated, r.unauthenticated,
                  r.provider,     r.timestamp,    r.request,       r.sip,
                  r.context,      outcome});
}

// A failed step of the real signing: its HRESULT and where it happened.
struct failure {
    HRESULT result = S_OK;
    std::string step;
};

// The thread's last error that goes with a failed call's HRESULT: the Windows error it was made
// from, or the HRESULT itself.
DWORD last_error_for(HRESULT result) {
    return HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result)
                                                      : static_cast<DWORD>(result);
}

failure failed(const char* step, DWORD error = GetLastError()) {
    return {HRESULT_FROM_WIN32(error), step};
}

bool message_param(HCRYPTMSG message, DWORD param, bytes& out) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, param, 0, nullptr, &size))
        return false;
    out.resize(size);
    if (!CryptMsgGetParam(message, param, 0, out.data(), &size))
        return false;
    out.resize(size);
    return true;
}

// The signer's key, as the signer finds it: the provider info when the caller gives a key
// container, otherwise the key provider info of the certificate.
struct signing_key {
    sim::unique_provider provider;
    DWORD key_spec = 0;
    DWORD provider_type = 0;
    std::wstring container;
};

failure acquire_key(PCCERT_CONTEXT certificate, const SIGNER_PROVIDER_INFO* given, ALG_ID hash,
                    signing_key& key) {
    std::wstring provider_name;
    DWORD flags = 0;
    if (given && given->dwPvkChoice == PVK_TYPE_KEYCONTAINER && given->pwszKeyContainer) {
        key.container = given->pwszKeyContainer;
        provider_name = given->pwszProviderName ? given->pwszProviderName : L"";
        key.provider_type = given->dwProviderType;
        key.key_spec = given->dwKeySpec;
    } else {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                               &size)) {
            return failed("reading the certificate's key provider info");
        }
        bytes buffer(size);
        if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID,
                                               buffer.data(), &size)) {
            return failed("reading the certificate's key provider info");
        }
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
        key.container = info->pwszContainerName ? info->pwszContainerName : L"";
        provider_name = info->pwszProvName ? info->pwszProvName : L"";
        key.provider_type = info->dwProvType;
        key.key_spec = info->dwKeySpec;
        flags = info->dwFlags & CRYPT_MACHINE_KEYSET;
    }

    auto acquire = [&](DWORD type) {
        return CryptAcquireContextW(key.provider.put(), key.container.c_str(),
                                    provider_name.empty() ? nullptr : provider_name.c_str(), type,
                                    flags | CRYPT_SILENT) != FALSE;
    };
    if (!acquire(key.provider_type))
        return failed("acquiring the key container");
    // The RSA providers before the AES one know no SHA-2; the system's signer then opens the
    // same container with the AES provider.
    HCRYPTHASH probe = 0;
    if (CryptCreateHash(key.provider.get(), hash, 0, 0, &probe)) {
        CryptDestroyHash(probe);
        return {};
    }
    DWORD error = GetLastError();
    if (error != static_cast<DWORD>(NTE_BAD_ALGID) || key.provider_type != PROV_RSA_FULL)
        return failed("hashing with the key's provider", error);
    key.provider_type = PROV_RSA_AES;
    provider_name.clear();
    if (!acquire(PROV_RSA_AES))
        return failed("acquiring the key container with the AES provider");
    return {};
}

// A signature that the certificate's public key cannot verify is worth nothing: refuse to make
// one, as the system's signer does.
failure check_key_matches(const signing_key& key, PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(key.provider.get(), key.key_spec, X509_ASN_ENCODING, nullptr,
                                  &size)) {
        return failed("reading the key's public half");
    }
    bytes buffer(size);
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
    if (!CryptExportPublicKeyInfo(key.provider.get(), key.key_spec, X509_ASN_ENCODING, info,
                                  &size)) {
        return failed("reading the key's public half");
    }
    if (!CertComparePublicKeyInfo(X509_ASN_ENCODING, info,
                                  &certificate->pCertInfo->SubjectPublicKeyInfo)) {
        return {NTE_BAD_PUBLIC_KEY, "comparing keys: the container's key is not the certificate's"};
    }
    return {};
}

// The catalog's certificate trust list, from its PKCS #7 signed-data.
failure read_trust_list(const bytes& file, bytes& content) {
    unique_crypt_message message(CryptMsgOpenToDecode(kMessageEncoding, 0, 0, 0, nullptr, nullptr));
    if (!message)
        return failed("opening the decoder");
    if (!CryptMsgUpdate(message.get(), file.data(), static_cast<DWORD>(file.size()), TRUE))
        return failed("decoding the file");
    bytes inner_type;
    if (!message_param(message.get(), CMSG_INNER_CONTENT_TYPE_PARAM, inner_type))
        return failed("reading the content type");
    inner_type.push_back(0);
    if (std::string(reinterpret_cast<const char*>(inner_type.data())) != szOID_CTL)
        return {TRUST_E_SUBJECT_FORM_UNKNOWN, "reading the content type"};
    if (!message_param(message.get(), CMSG_CONTENT_PARAM, content))
        return failed("reading the trust list");
    return {};
}

// A hash of `data` made by the key's provider, with the algorithm asked for.
failure hash_with(const signing_key& key, ALG_ID algorithm, const bytes& data,
                  unique_crypt_hash& hash) {
    if (!CryptCreateHash(key.provider.get(), algorithm, 0, 0, hash.put()))
        return failed("hashing with the key's provider");
    if (!CryptHashData(hash.get(), data.data(), static_cast<DWORD>(data.size()), 0))
        return failed("hashing with the key's provider");
    return {};
}

failure hash_value(const signing_key& key, ALG_ID algorithm, const bytes& data, bytes& out) {
    unique_crypt_hash hash;
    if (failure f = hash_with(key, algorithm, data, hash); f.result != S_OK)
        return f;
    DWORD size = 0;
    DWORD size_size = sizeof size;
    if (!CryptGetHashParam(hash.get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &size_size,
                           0)) {
        return failed("hashing with the key's provider");
    }
    out.resize(size);
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, out.data(), &size, 0))
        return failed("hashing with the key's provider");
    out.resize(size);
    return {};
}

// PKCS #1 v1.5 with the key over the hash of `data`, big-endian as PKCS #7 carries it.
failure sign_with(const signing_key& key, ALG_ID algorithm, const bytes& data, bytes& out) {
    unique_crypt_hash hash;
    if (failure f = hash_with(key, algorithm, data, hash); f.result != S_OK)
        return f;
    DWORD size = 0;
    if (!CryptSignHashW(hash.get(), key.key_spec, nullptr, 0, nullptr, &size))
        return failed("signing");
    out.resize(size);
    if (!CryptSignHashW(hash.get(), key.key_spec, nullptr, 0, out.data(), &size))
        return failed("signing");
    out.resize(size);
    // CryptoAPI gives the signature least significant byte first.
    std::reverse(out.begin(), out.end());
    return {};
}

std::vector<signed_data::attribute> attributes_of(const CRYPT_ATTRIBUTES* given) {
    std::vector<signed_data::attribute> out;
    for (DWORD i = 0; given && i < given->cAttr; i++) {
        const CRYPT_ATTRIBUTE& a = given->rgAttr[i];
        signed_data::attribute one{a.pszObjId ? a.pszObjId : "", {}};
        for (DWORD v = 0; v < a.cValue; v++) {
            const BYTE* value = a.rgValue[v].pbData;
            one.values.emplace_back(value, value + a.rgValue[v].cbData);
        }
        out.push_back(std::move(one));
    }
    return out;
}

// The signed-data is written here rather than by crypt32's message encoder: Wine's names
// pkcs7-data in the content-type attribute whatever the content, and digests the trust list's
// whole encoding rather than its contents octets, so that a verifier refuses its signature.
failure encode_signed(const bytes& content, PCCERT_CONTEXT certificate, const signing_key& key,
                      const SIGNER_SIGNATURE_INFO& signature, bytes& out) {
    LPCSTR hash_oid = CertAlgIdToOID(signature.algidHash);
    if (!hash_oid)
        return {NTE_BAD_ALGID, "naming the hash algorithm"};
    std::optional<bytes> digested = signed_data::digested_content(content);
    if (!digested)
        return {CRYPT_E_ASN1_BADTAG, "reading the trust list's encoding"};
    bytes digest;
    if (failure f = hash_value(key, signature.algidHash, *digested, digest); f.result != S_OK)
        return f;
    std::optional<bytes> authenticated = signed_data::authenticated_attributes(
        szOID_CTL, digest, attributes_of(signature.psAuthenticated));
    if (!authenticated)
        return {E_INVALIDARG, "encoding the authenticated attributes"};

    const CERT_INFO& info = *certificate->pCertInfo;
    signed_data::signer signer;
    signer.digest_algorithm = hash_oid;
    signer.certificate.assign(certificate->pbCertEncoded,
                              certificate->pbCertEncoded + certificate->cbCertEncoded);
    signer.issuer.assign(info.Issuer.pbData, info.Issuer.pbData + info.Issuer.cbData);
    // CryptoAPI keeps the serial number least significant byte first.
    signer.serial.assign(info.SerialNumber.pbData,
                         info.SerialNumber.pbData + info.SerialNumber.cbData);
    std::reverse(signer.serial.begin(), signer.serial.end());
    signer.authenticated = *authenticated;
    signer.unauthenticated = attributes_of(signature.psUnauthenticated);
    // The signature covers the authenticated attributes as a SET OF, as they are encoded.
    if (failure f = sign_with(key, signature.algidHash, *authenticated, signer.signature);
        f.result != S_OK) {
        return f;
    }
    // The certificate is self-signed: its chain is itself, whatever the policy.
    std::optional<bytes> message = signed_data::encode(szOID_CTL, content, signer);
    if (!message)
        return {E_INVALIDARG, "encoding the signed message"};
    out = std::move(*message);
    return {};
}

failure read_whole(HANDLE file, bytes& out) {
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size))
        return failed("reading the file");
    if (size.QuadPart > kMaxCatalogBytes)
        return {HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE), "reading the file"};
    out.resize(static_cast<size_t>(size.QuadPart));
    DWORD done = 0;
    if (!out.empty() &&
        !ReadFile(file, out.data(), static_cast<DWORD>(out.size()), &done, nullptr)) {
        return failed("reading the file");
    }
    out.resize(done);
    return {};
}

failure write_whole(HANDLE file, const bytes& data) {
    DWORD done = 0;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &done, nullptr) ||
        done != data.size() || !SetEndOfFile(file)) {
        return failed("writing the file");
    }
    return {};
}

// Signs the catalog in place. `how` says with which key, for the journal.
failure sign_catalog(const wchar_t* path, PCCERT_CONTEXT certificate,
                     const SIGNER_SIGNATURE_INFO& signature, const SIGNER_PROVIDER_INFO* provider,
                     bytes& signed_bytes, std::string& how) {
    unique_file_handle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return failed("opening the file");
    bytes original, content;
    if (failure f = read_whole(file.get(), original); f.result != S_OK)
        return f;
    if (failure f = read_trust_list(original, content); f.result != S_OK)
        return f;
    signing_key key;
    if (failure f = acquire_key(certificate, provider, signature.algidHash, key);
        f.result != S_OK) {
        return f;
    }
    how = "key container '" + sim::utf8_of(key.container) + "' of provider type " +
          std::to_string(key.provider_type);
    if (failure f = check_key_matches(key, certificate); f.result != S_OK)
        return f;
    if (failure f = encode_signed(content, certificate, key, signature, signed_bytes);
        f.result != S_OK) {
        return f;
    }
    return write_whole(file.get(), signed_bytes);
}

}  // namespace

extern "C" HRESULT WINAPI SignerSignEx(DWORD dwFlags, SIGNER_SUBJECT_INFO* pSubjectInfo,
                                       SIGNER_CERT* pSignerCert,
                                       SIGNER_SIGNATURE_INFO* pSignatureInfo,
                                       SIGNER_PROVIDER_INFO* pProviderInfo,
                                       LPCWSTR pwszHttpTimeStamp, PCRYPT_ATTRIBUTES psRequest,
                                       LPVOID pSipData, SIGNER_CONTEXT** ppSignerContext) {
    // The wait comes first and without the lock, so that a program ended meanwhile is ended in
    // the middle of its signing, before the file is touched.
    unsigned wait_ms = 0;
    {
        sim::state_lock lock;
        wait_ms = sim::refresh_machine()->signing_wait_ms;
        if (wait_ms)
            sim::journal({"SignerSignEx.wait", "ms=" + std::to_string(wait_ms)});
    }
    if (wait_ms)
        Sleep(wait_ms);

    sim::state_lock lock;
    const request_text asked =
        describe_request(dwFlags, pSubjectInfo, pSignerCert, pSignatureInfo, pProviderInfo,
                         pwszHttpTimeStamp, psRequest, pSipData, ppSignerContext);
    if (ppSignerContext)
        *ppSignerContext = nullptr;

    if (auto error = sim::refresh_machine()->failure("signing", "sign")) {
        journal_request(asked, "error " + sim::hex(*error) + " (scenario)");
        SetLastError(last_error_for(static_cast<HRESULT>(*error)));
        return static_cast<HRESULT>(*error);
    }

    // What this simulation can sign: a file, with a certificate from a store.
    if (!pSubjectInfo || pSubjectInfo->dwSubjectChoice != SIGNER_SUBJECT_FILE ||
        !pSubjectInfo->pSignerFileInfo || !pSubjectInfo->pSignerFileInfo->pwszFileName ||
        !pSignerCert || pSignerCert->dwCertChoice != SIGNER_CERT_STORE ||
        !pSignerCert->pCertStoreInfo || !pSignerCert->pCertStoreInfo->pSigningCert ||
        !pSignatureInfo) {
        journal_request(asked, "error " + sim::hex(E_INVALIDARG));
        SetLastError(last_error_for(E_INVALIDARG));
        return E_INVALIDARG;
    }

    auto block = std::make_unique<signer_context_block>();
    std::string how;
    failure f = sign_catalog(pSubjectInfo->pSignerFileInfo->pwszFileName,
                             pSignerCert->pCertStoreInfo->pSigningCert, *pSignatureInfo,
                             pProviderInfo, block->blob, how);
    if (f.result != S_OK) {
        journal_request(asked, "error " + sim::hex(static_cast<DWORD>(f.result)) + " " + f.step);
        SetLastError(last_error_for(f.result));
        return f.result;
    }
    journal_request(asked,
                    "ok signed with " + how + ", " + std::to_string(block->blob.size()) + " bytes");
    if (ppSignerContext) {
        block->context.cbBlob = static_cast<DWORD>(block->blob.size());
        block->context.pbBlob = block->blob.data();
        SIGNER_CONTEXT* context = &block->context;
        handed_out.emplace(context, std::move(block));
        *ppSignerContext = context;
    }
    return S_OK;
}

extern "C" HRESULT WINAPI SignerFreeSignerContext(SIGNER_CONTEXT* pSignerContext) {
    sim::state_lock lock;
    if (!pSignerContext) {
        sim::journal({"SignerFreeSignerContext", "context=none", "ok"});
        return S_OK;
    }
    if (!handed_out.erase(pSignerContext)) {
        sim::journal(
            {"SignerFreeSignerContext", "context=unknown", "error " + sim::hex(E_INVALIDARG)});
        return E_INVALIDARG;
    }
    sim::journal({"SignerFreeSignerContext", "context=handed_out", "ok"});
    return S_OK;
}
