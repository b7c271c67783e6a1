// What the library asks of certificates and the machine's trust stores besides listing and removing
// its certificates (usbdrv.h).
#pragma once

#include <windows.h>
#include <wincrypt.h>

// Self-signed: the issuer is the subject, as encoded names (a text could hide a difference of
// string types).
bool is_self_signed(const CERT_INFO& info);

// Whether the local machine's system store `store` ("Root", "TrustedPublisher") holds exactly
// `certificate`, whose SHA-1 thumbprint as upper-case hexadecimal is `thumbprint`. It reads the
// entry that adding the certificate to that store wrote and nothing else; false when there is none
// or it cannot be read. Needs CertAddSerializedElementToStore and CertFreeCertificateContext
// looked up.
bool machine_store_holds(const char* store, PCCERT_CONTEXT certificate, const char* thumbprint);
