// The library's own owners, beside the ownership kit (usbdrv/kit.h, included here): the kinds
// it takes from the setup, registry, certificate, catalog, signing and drawing services.
// Catalogs, certificate stores and contexts, signer contexts, fonts, registry keys, key
// containers and keys, and looked-up device information sets are given back through the
// functions the library looks up at run time (runtime_imports.h), as it takes them: a program
// that uses these types links the Windows layer (usbdrv_win) and imports neither wintrust,
// crypt32, mssign32, gdi32 nor, for these, setupapi or advapi32. A program that uses the other
// types links the system library of their release function: setupapi (device information sets
// and INF files), crypt32 (messages), advapi32 (hashes).
#pragma once

#include <windows.h>
#include <mscat.h>
#include <setupapi.h>
#include <wincrypt.h>

#include "usbdrv/kit.h"
#include "win/runtime_imports.h"
#include "win/signer_api.h"

namespace handle_kit {

// Gives a value back through a function of the run-time import table. The value came from the same
// system library, so the lookup finds it there; if it did not, the value is left rather than
// given to nothing.
template <typename Fn, typename... Args>
void give_back_through(runtime_import<Fn>& function, Args... args) {
    if (Fn* release = function.get_quietly())
        release(args...);
}

// Device information sets: SetupDiGetClassDevs says INVALID_HANDLE_VALUE when it fails. Setupapi
// is looked up, not imported: a program's start does not load it.
struct device_info_set_traits {
    static HDEVINFO invalid() { return INVALID_HANDLE_VALUE; }
    static bool absent(HDEVINFO s) { return s == INVALID_HANDLE_VALUE || s == nullptr; }
    static void close(HDEVINFO s) { give_back_through(imports.SetupDiDestroyDeviceInfoList, s); }
};
// Registry keys as the kit takes them, closed through advapi32 as looked up.
struct registry_key_traits : hkey_traits {
    static void close(HKEY k) { imports.RegCloseKey.call_or(ERROR_PROC_NOT_FOUND, k); }
};
// INF files: SetupOpenInfFile says INVALID_HANDLE_VALUE when it fails.
struct inf_traits {
    static HINF invalid() { return INVALID_HANDLE_VALUE; }
    static bool absent(HINF inf) { return inf == INVALID_HANDLE_VALUE || inf == nullptr; }
    static void close(HINF inf) { SetupCloseInfFile(inf); }
};
// Certificate stores (CertOpenStore: null when it fails), closed without forcing.
struct cert_store_traits {
    static HCERTSTORE invalid() { return nullptr; }
    static bool absent(HCERTSTORE s) { return s == nullptr; }
    static void close(HCERTSTORE s) { give_back_through(imports.CertCloseStore, s, 0); }
};
// Certificate contexts (CertCreateSelfSignCertificate, CertFindCertificateInStore, ...).
struct cert_context_traits {
    static PCCERT_CONTEXT invalid() { return nullptr; }
    static bool absent(PCCERT_CONTEXT c) { return c == nullptr; }
    static void close(PCCERT_CONTEXT c) {
        give_back_through(imports.CertFreeCertificateContext, c);
    }
};
// Cryptographic service providers (CryptAcquireContext: 0 when absent).
struct crypt_provider_traits {
    static HCRYPTPROV invalid() { return 0; }
    static bool absent(HCRYPTPROV p) { return p == 0; }
    static void close(HCRYPTPROV p) { imports.CryptReleaseContext(p, 0); }
};
// Keys of a provider (CryptGenKey, CryptGetUserKey: 0 when absent).
struct crypt_key_traits {
    static HCRYPTKEY invalid() { return 0; }
    static bool absent(HCRYPTKEY k) { return k == 0; }
    static void close(HCRYPTKEY k) { imports.CryptDestroyKey(k); }
};
// Hashes of a provider (CryptCreateHash: 0 when absent).
struct crypt_hash_traits {
    static HCRYPTHASH invalid() { return 0; }
    static bool absent(HCRYPTHASH h) { return h == 0; }
    static void close(HCRYPTHASH h) { CryptDestroyHash(h); }
};
// Catalogs: CryptCATOpen says INVALID_HANDLE_VALUE when it fails.
struct catalog_traits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static bool absent(HANDLE c) { return c == INVALID_HANDLE_VALUE || c == nullptr; }
    static void close(HANDLE c) { give_back_through(imports.CryptCATClose, c); }
};
// Cryptographic messages (CryptMsgOpenToEncode, CryptMsgOpenToDecode: null when they fail).
struct crypt_message_traits {
    static HCRYPTMSG invalid() { return nullptr; }
    static bool absent(HCRYPTMSG m) { return m == nullptr; }
    static void close(HCRYPTMSG m) { CryptMsgClose(m); }
};
// Signer contexts (SignerSignEx: null when it returns none).
struct signer_context_traits {
    static SIGNER_CONTEXT* invalid() { return nullptr; }
    static bool absent(SIGNER_CONTEXT* c) { return c == nullptr; }
    static void close(SIGNER_CONTEXT* c) { give_back_through(imports.SignerFreeSignerContext, c); }
};

// Fonts (CreateFont: null when it fails), deleted through gdi32's DeleteObject as looked up at run
// time, like CreateFont itself: a program that uses them does not import gdi32.
struct font_traits {
    static HFONT invalid() { return nullptr; }
    static bool absent(HFONT f) { return f == nullptr; }
    static void close(HFONT f) { give_back_through(imports.DeleteObject, f); }
};

}  // namespace handle_kit

using unique_device_info_set = unique_resource<HDEVINFO, handle_kit::device_info_set_traits>;
using unique_inf = unique_resource<HINF, handle_kit::inf_traits>;
using unique_registry_key = unique_resource<HKEY, handle_kit::registry_key_traits>;
using unique_cert_store = unique_resource<HCERTSTORE, handle_kit::cert_store_traits>;
using unique_cert_context = unique_resource<PCCERT_CONTEXT, handle_kit::cert_context_traits>;
using unique_crypt_provider = unique_resource<HCRYPTPROV, handle_kit::crypt_provider_traits>;
using unique_crypt_key = unique_resource<HCRYPTKEY, handle_kit::crypt_key_traits>;
using unique_crypt_hash = unique_resource<HCRYPTHASH, handle_kit::crypt_hash_traits>;
using unique_catalog = unique_resource<HANDLE, handle_kit::catalog_traits>;
using unique_crypt_message = unique_resource<HCRYPTMSG, handle_kit::crypt_message_traits>;
using unique_signer_context = unique_resource<SIGNER_CONTEXT*, handle_kit::signer_context_traits>;
using unique_font = unique_resource<HFONT, handle_kit::font_traits>;
