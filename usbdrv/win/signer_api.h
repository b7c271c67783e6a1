// The signer's records and entry points (mssign32.dll). The system documents them but no SDK
// header declares them, so the program, the simulation that stands in for the signer and the
// tests share this one declaration. Fields in the documented order; pointers are native.
#pragma once

#include <windows.h>
#include <wincrypt.h>

struct SIGNER_FILE_INFO {
    DWORD cbSize;
    LPCWSTR pwszFileName;
    HANDLE hFile;
};

struct SIGNER_BLOB_INFO {
    DWORD cbSize;
    GUID* pGuidSubject;
    DWORD cbBlob;
    BYTE* pbBlob;
    LPCWSTR pwszDisplayName;
};

enum : DWORD { SIGNER_SUBJECT_FILE = 1, SIGNER_SUBJECT_BLOB = 2 };

struct SIGNER_SUBJECT_INFO {
    DWORD cbSize;
    DWORD* pdwIndex;
    DWORD dwSubjectChoice;
    union {
        SIGNER_FILE_INFO* pSignerFileInfo;
        SIGNER_BLOB_INFO* pSignerBlobInfo;
    };
};

enum : DWORD {
    SIGNER_CERT_POLICY_STORE = 1,
    SIGNER_CERT_POLICY_CHAIN = 2,
    SIGNER_CERT_POLICY_SPC = 4,
    SIGNER_CERT_POLICY_CHAIN_NO_ROOT = 8,
};

struct SIGNER_CERT_STORE_INFO {
    DWORD cbSize;
    PCCERT_CONTEXT pSigningCert;
    DWORD dwCertPolicy;
    HCERTSTORE hCertStore;
};

struct SIGNER_SPC_CHAIN_INFO {
    DWORD cbSize;
    LPCWSTR pwszSpcFile;
    DWORD dwCertPolicy;
    HCERTSTORE hCertStore;
};

enum : DWORD { SIGNER_CERT_SPC_FILE = 1, SIGNER_CERT_STORE = 2, SIGNER_CERT_SPC_CHAIN = 3 };

struct SIGNER_CERT {
    DWORD cbSize;
    DWORD dwCertChoice;
    union {
        LPCWSTR pwszSpcFile;
        SIGNER_CERT_STORE_INFO* pCertStoreInfo;
        SIGNER_SPC_CHAIN_INFO* pSpcChainInfo;
    };
    HWND hwnd;
};

struct SIGNER_ATTR_AUTHCODE {
    DWORD cbSize;
    BOOL fCommercial;
    BOOL fIndividual;
    LPCWSTR pwszName;
    LPCWSTR pwszInfo;
};

enum : DWORD { SIGNER_NO_ATTR = 0, SIGNER_AUTHCODE_ATTR = 1 };

struct SIGNER_SIGNATURE_INFO {
    DWORD cbSize;
    ALG_ID algidHash;
    DWORD dwAttrChoice;
    union {
        SIGNER_ATTR_AUTHCODE* pAttrAuthcode;
    };
    PCRYPT_ATTRIBUTES psAuthenticated;
    PCRYPT_ATTRIBUTES psUnauthenticated;
};

enum : DWORD { PVK_TYPE_FILE_NAME = 1, PVK_TYPE_KEYCONTAINER = 2 };

struct SIGNER_PROVIDER_INFO {
    DWORD cbSize;
    LPCWSTR pwszProviderName;
    DWORD dwProviderType;
    DWORD dwKeySpec;
    DWORD dwPvkChoice;
    union {
        LPWSTR pwszPvkFileName;
        LPWSTR pwszKeyContainer;
    };
};

struct SIGNER_CONTEXT {
    DWORD cbSize;
    DWORD cbBlob;
    BYTE* pbBlob;
};

extern "C" {
HRESULT WINAPI SignerSignEx(DWORD dwFlags, SIGNER_SUBJECT_INFO* pSubjectInfo,
                            SIGNER_CERT* pSignerCert, SIGNER_SIGNATURE_INFO* pSignatureInfo,
                            SIGNER_PROVIDER_INFO* pProviderInfo, LPCWSTR pwszHttpTimeStamp,
                            PCRYPT_ATTRIBUTES psRequest, LPVOID pSipData,
                            SIGNER_CONTEXT** ppSignerContext);
HRESULT WINAPI SignerFreeSignerContext(SIGNER_CONTEXT* pSignerContext);
}
