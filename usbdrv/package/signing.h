// Signing a file with a fresh self-signed certificate that the machine trusts.
//
// The certificate's key pair lives in the machine key container "usbdrv key container" only
// while the file is signed, and is deleted before the certificate goes into the machine's
// "Root" and "TrustedPublisher" stores (with the friendly name "usbdrv"): a certificate the
// machine trusts never has its private key on the machine, also when a run is ended half-way.
// Only one signing may run at a time on a machine: the container and the stores are
// machine-wide.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "win/handles.h"

// What a generation of the key pair in the machine key container came to: the error of the
// step that failed, opening the container (`container_failed`) or generating; and whether the
// container did not exist before.
struct key_generation {
    DWORD error = ERROR_SUCCESS;
    bool container_failed = false;
    bool created_container = false;
};

// The key pair of the next certificate, generated in the machine key container on a thread of
// its own, so that the generation overlaps the writing of the files the certificate will sign.
// The thread logs nothing: CreateSelfSignedCert logs its lines when it takes the key. A key
// nobody took is deleted with its container when this ends.
class early_key_pair {
public:
    early_key_pair() = default;
    early_key_pair(const early_key_pair&) = delete;
    early_key_pair& operator=(const early_key_pair&) = delete;
    ~early_key_pair();

    // Starts the generation; false (and nothing started) when no thread could be made.
    bool start();
    bool started() const { return thread_.valid(); }
    // Waits for the generation and gives what it came to.
    const key_generation& wait();
    // The certificate took the key: from now its deletion is DeletePrivateKey's.
    void taken() { taken_ = true; }

private:
    static DWORD WINAPI generate(void* self);
    unique_thread thread_;
    bool waited_ = false, taken_ = false;
    key_generation outcome_;
};

// Signs `file_path` (UTF-8) with a new certificate for `subject` (an X.500 name such as
// "CN=..."), then destroys the certificate's private key, also when the signing failed. True
// when the file was signed and the key no longer exists: `signer` then holds the certificate,
// which no longer names the key, for TrustSigner once the file is where it is used. The stores
// are not touched. With a started `early_key`, the certificate takes that key pair instead of
// generating one.
bool SelfSignFile(const char* file_path, const char* subject, unique_cert_context& signer,
                  early_key_pair* early_key = nullptr);

// Makes the machine trust `certificate` as the signer for `subject`: every older certificate of
// that subject leaves "Root" and "TrustedPublisher", then it goes into "Root" and, only when
// that succeeded, into "TrustedPublisher". True when both hold it.
bool TrustSigner(PCCERT_CONTEXT certificate, const char* subject);

// Deletes the key container that a signing which did not end left behind, with a log line. True
// when there is none (any more).
bool DeleteLeftoverKeyContainer();

// Deletes every certificate whose subject is `subject` from the machine store `store_name`. True
// when the store was searched to the end.
bool RemoveCertFromStore(const char* subject, const char* store_name);

// A new self-signed code-signing certificate for `subject`, with a new key pair in the machine key
// container, or null. The caller frees it with CertFreeCertificateContext. The container stays;
// DeletePrivateKey removes it.
PCCERT_CONTEXT CreateSelfSignedCert(const char* subject, early_key_pair* early_key = nullptr);

// Puts `certificate` with the friendly name "usbdrv" into the machine store `store_name`,
// replacing an identical one.
bool AddCertToStore(PCCERT_CONTEXT certificate, const char* store_name);

// Deletes the key container of `certificate` and drops the certificate's reference to it, so that
// the copies a store gets from it name no key. True when the container no longer exists (its
// key provider that cannot be had is only logged).
bool DeletePrivateKey(PCCERT_CONTEXT certificate);
