#include "signed_data.h"

#include <cstddef>

namespace signed_data {

namespace {

std::optional<bytes> algorithm(const std::string& oid) {
    std::optional<bytes> id = der::object_identifier(oid);
    if (!id)
        return std::nullopt;
    return der::sequence({*id, der::null()});
}

std::optional<bytes> encode_attribute(const attribute& a) {
    std::optional<bytes> id = der::object_identifier(a.oid);
    if (!id)
        return std::nullopt;
    return der::sequence({*id, der::set_of(a.values)});
}

// A SET OF attributes, or nullopt when one of them cannot be encoded.
std::optional<bytes> attribute_set(const std::vector<attribute>& attributes) {
    std::vector<bytes> encoded;
    for (const attribute& a : attributes) {
        std::optional<bytes> one = encode_attribute(a);
        if (!one)
            return std::nullopt;
        encoded.push_back(std::move(*one));
    }
    return der::set_of(std::move(encoded));
}

// The same encoding under an implicit context tag in place of its own.
bytes retagged(bytes encoding, uint8_t tag) {
    encoding[0] = tag;
    return encoding;
}

}  // namespace

std::optional<bytes> digested_content(const bytes& content) {
    if (content.size() < 2)
        return std::nullopt;
    size_t header = 2;
    size_t length = content[1];
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > sizeof(size_t) || content.size() < 2 + count)
            return std::nullopt;  // indefinite, or longer than anything here
        length = 0;
        for (size_t i = 0; i < count; i++)
            length = (length << 8) | content[2 + i];
        header += count;
    }
    if (length != content.size() - header)
        return std::nullopt;
    return bytes(content.begin() + static_cast<std::ptrdiff_t>(header), content.end());
}

std::optional<bytes> authenticated_attributes(const std::string& content_type, const bytes& digest,
                                              const std::vector<attribute>& given) {
    std::optional<bytes> type = der::object_identifier(content_type);
    if (!type)
        return std::nullopt;
    std::vector<attribute> all = {
        {kContentType, {*type}},
        {kMessageDigest, {der::octet_string(digest.data(), digest.size())}},
    };
    for (const attribute& a : given) {
        if (a.oid == kContentType || a.oid == kMessageDigest)
            return std::nullopt;
        all.push_back(a);
    }
    return attribute_set(all);
}

std::optional<bytes> encode(const std::string& content_type, const bytes& content,
                            const signer& s) {
    std::optional<bytes> type = der::object_identifier(content_type);
    std::optional<bytes> digest_algorithm = algorithm(s.digest_algorithm);
    std::optional<bytes> signature_algorithm = algorithm(kRsaEncryption);
    std::optional<bytes> unauthenticated = attribute_set(s.unauthenticated);
    if (!type || !digest_algorithm || !signature_algorithm || s.serial.empty() ||
        !unauthenticated || s.authenticated.empty()) {
        return std::nullopt;
    }

    bytes issuer_and_serial = s.issuer;
    const bytes serial = der::tlv(der::kInteger, s.serial);
    issuer_and_serial.insert(issuer_and_serial.end(), serial.begin(), serial.end());
    issuer_and_serial = der::tlv(der::kSequence, issuer_and_serial);
    bytes signer_info = der::integer(1);
    for (const bytes& part :
         {issuer_and_serial, *digest_algorithm, retagged(s.authenticated, der::context(0, true)),
          *signature_algorithm, der::octet_string(s.signature.data(), s.signature.size())}) {
        signer_info.insert(signer_info.end(), part.begin(), part.end());
    }
    if (!s.unauthenticated.empty()) {
        bytes tagged = retagged(*unauthenticated, der::context(1, true));
        signer_info.insert(signer_info.end(), tagged.begin(), tagged.end());
    }

    bytes signed_data = der::sequence({
        der::integer(1),
        der::set_of({*digest_algorithm}),
        der::sequence({*type, der::tlv(der::context(0, true), content)}),
        der::tlv(der::context(0, true), s.certificate),
        der::set_of({der::tlv(der::kSequence, signer_info)}),
    });
    std::optional<bytes> outer = der::object_identifier(kSignedData);
    return der::sequence({*outer, der::tlv(der::context(0, true), signed_data)});
}

}  // namespace signed_data
