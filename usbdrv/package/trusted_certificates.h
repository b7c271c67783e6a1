// What the library asks of the machine's trust stores besides listing and removing its
// certificates (usbdrv.h).
#pragma once

#include <windows.h>
#include <wincrypt.h>

// Whether the local machine's system store `store` ("Root", "TrustedPublisher") holds exactly
// `certificate`, whose SHA-1 thumbprint as upper-case hexadecimal is `thumbprint`. It reads the
// entry that adding the certificate to that store wrote and nothing else; false when there is none
// or it cannot be read. Needs CertAddSerializedElementToStore and CertFreeCertificateContext
// looked up.
bool machine_store_holds(const char* store, PCCERT_CONTEXT certificate, const char* thumbprint);
