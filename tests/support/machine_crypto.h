// The tests' own CryptoAPI calls, apart from the library's: the hash of a file as a catalog names
// it, a catalog file as crypt32 reads it, and the machine's trust stores and key containers that
// signing changes.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <filesystem>
#include <string>
#include <vector>

#include "win/handles.h"

namespace test {

// Bytes as upper-case hexadecimal digits, first byte first.
std::string hex(const BYTE* data, size_t size);
// The SHA-1 of a whole file, in hexadecimal: the hash of a flat file in a catalog. "(no hash)"
// when it cannot be made.
std::string sha1_of_file(const std::filesystem::path& file);

// What crypt32 reads from a catalog file: its signers and its trust list.
struct catalog_view {
    bool decoded = false;
    DWORD signers = 0;
    std::vector<BYTE> trust_list;
};
catalog_view read_catalog(const std::filesystem::path& path);

// The machine stores that trust a signer's certificate, in the order the signer fills them.
extern const char* const kTrustStores[2];
unique_cert_store machine_store(const char* name);
// A subject such as "CN=..." as the system encodes it.
std::vector<BYTE> encoded_name(const char* x500);
// Every certificate of subject in the machine store, as the store holds it.
std::vector<unique_cert_context> certificates_in(const char* store_name, const char* subject);
// Deletes every certificate of subject from both trust stores, for good.
void remove_certificates(const char* subject);

bool machine_container_exists(const wchar_t* name);
void delete_machine_container(const wchar_t* name);

}  // namespace test
