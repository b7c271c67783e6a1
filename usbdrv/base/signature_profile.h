// What the package's self-signed certificate and its signature carry, apart from the calls that
// make them: the certificate's signature algorithm for a Windows version, the authenticated
// attributes of the signature, and the pages the certificate points to.
#pragma once

#include <cstddef>

// The project's pages, named by the certificate: its home page (alternative name) and its
// certification practice statement (certificate policy). Macros, so that the Windows layer can
// take the UTF-16 form of the same text (L"" USBDRV_PROJECT_PAGE).
#define USBDRV_PROJECT_PAGE "https://corvane.example/usbdrv/"
#define USBDRV_PRACTICE_STATEMENT_PAGE "https://corvane.example/usbdrv/cps.html"

// The OID of the algorithm that signs the certificate on the Windows version `version_code`
// (major * 16 + minor): SHA-1 with RSA on Windows 7 and Server 2008 R2, SHA-256 with RSA on every
// other version.
const char* certificate_signature_algorithm(int version_code);

// One authenticated attribute of the file's signature: one value, already encoded.
struct signature_attribute {
    const char* oid;
    const unsigned char* value;
    std::size_t size;
};

// In the order they are given to the signer.
extern const signature_attribute kSignatureAttributes[2];
