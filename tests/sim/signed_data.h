// The PKCS #7 signed-data that the simulated signer writes around a catalog's certificate trust
// list, as the system's signer writes it: one signer, named by its certificate's issuer and
// serial number, whose signature covers its authenticated attributes, among them the content
// type and the digest of the content. The hashing and the signature itself are the caller's (the
// key's provider makes them); this part only encodes. Portable, so that it is also built
// natively.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "der_writer.h"

namespace signed_data {

using der::bytes;

// Identifiers the signer uses itself.
constexpr char kSignedData[] = "1.2.840.113549.1.7.2";
constexpr char kContentType[] = "1.2.840.113549.1.9.3";
constexpr char kMessageDigest[] = "1.2.840.113549.1.9.4";
constexpr char kRsaEncryption[] = "1.2.840.113549.1.1.1";

// One attribute: its dotted identifier and its values, each already encoded.
struct attribute {
    std::string oid;
    std::vector<bytes> values;
};

// What the message digest covers: the contents octets of the content's encoding, without its
// tag and length, as the system's signer digests a content of another type than data (and as
// Authenticode digests its indirect data); a verifier that follows it refuses a digest over the
// whole encoding. nullopt when `content` is not one whole definite-length encoding.
std::optional<bytes> digested_content(const bytes& content);

// The authenticated attributes as the signature covers them: the content type, the digest and
// the given ones, encoded as a SET OF. nullopt when an identifier is not dotted, or when a given
// attribute is one of the two the signer adds itself (a second one would make the signature
// ambiguous).
std::optional<bytes> authenticated_attributes(const std::string& content_type, const bytes& digest,
                                              const std::vector<attribute>& given);

struct signer {
    std::string digest_algorithm;  // dotted
    bytes certificate;             // carried in the message
    bytes issuer;                  // the certificate's issuer, an encoded name
    // Its serial number's INTEGER content, big-endian, exactly as the certificate encodes it: a
    // verifier finds the signer's certificate by comparing the two (Wine makes serial numbers
    // that read as negative, without the zero byte a positive one would need).
    bytes serial;
    bytes authenticated;  // as authenticated_attributes made it
    bytes signature;      // PKCS #1 v1.5 over it, big-endian
    std::vector<attribute> unauthenticated;
};

// The whole content info: a signed-data of version 1 around the content (not wrapped in an
// OCTET STRING, as PKCS #7 carries a content of another type than data), with the signer's
// certificate and its signer information. nullopt when an identifier is not dotted or the serial
// number is empty.
std::optional<bytes> encode(const std::string& content_type, const bytes& content, const signer& s);

}  // namespace signed_data
