// Signing a file with a fresh self-signed certificate that the machine trusts.
#pragma once

// Signs `file_path` with a new certificate for `subject` (an X.500 name such as "CN=..."), put
// into the machine's "Root" and "TrustedPublisher" stores; its private key is destroyed
// afterwards. True only when the file was signed.
bool SelfSignFile(const char* file_path, const char* subject);
