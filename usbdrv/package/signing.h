// Signing a file with a fresh self-signed certificate that the machine trusts.
//
// The certificate's key pair lives in the machine key container "usbdrv key container" only
// while the file is signed; the certificate stays in the machine's "Root" and "TrustedPublisher"
// stores with the friendly name "usbdrv". Only one signing may run at a time on a machine: the
// container and the stores are machine-wide.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// Signs `file_path` (UTF-8) with a new certificate for `subject` (an X.500 name such as "CN=..."),
// after putting it into the machine's "Root" and "TrustedPublisher" stores instead of any older
// certificate of that subject; the private key is destroyed afterwards, also when the signing
// failed. True only when the file was signed.
bool SelfSignFile(const char* file_path, const char* subject);

// Deletes every certificate whose subject is `subject` from the machine store `store_name`. True
// when the store was searched to the end.
bool RemoveCertFromStore(const char* subject, const char* store_name);

// A new self-signed code-signing certificate for `subject`, with a new key pair in the machine key
// container, or null. The caller frees it with CertFreeCertificateContext. The container stays;
// DeletePrivateKey removes it.
PCCERT_CONTEXT CreateSelfSignedCert(const char* subject);

// Puts `certificate` with the friendly name "usbdrv" into the machine store `store_name`,
// replacing an identical one.
bool AddCertToStore(PCCERT_CONTEXT certificate, const char* store_name);

// Deletes the key container of `certificate` and replaces the copies in "Root" and
// "TrustedPublisher" with ones that no longer refer to the key. False when the certificate's key
// provider could not be had (the container is deleted all the same).
bool DeletePrivateKey(PCCERT_CONTEXT certificate);
