#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/signature_profile.h"

namespace {

TEST(CertificateSignatureAlgorithm, Sha1OnlyOnWindows7) {
    const struct {
        int version;
        const char* oid;
    } rows[] = {
        {0x60, "1.2.840.113549.1.1.11"},  // Vista, Server 2008
        {0x61, "1.2.840.113549.1.1.5"},   // 7, Server 2008 R2
        {0x62, "1.2.840.113549.1.1.11"},  // 8, and unmanifested programs on 8.1 and later
        {0x63, "1.2.840.113549.1.1.11"},  // 8.1
        {0xA0, "1.2.840.113549.1.1.11"},  // 10
    };
    for (const auto& row : rows)
        EXPECT_STREQ(certificate_signature_algorithm(row.version), row.oid)
            << std::hex << row.version;
}

// A DER element: tag, and the content bytes.
struct element {
    unsigned char tag = 0;
    std::vector<unsigned char> content;
};

// Reads one element of short-form length that fills `bytes` exactly.
bool read_whole(const unsigned char* bytes, size_t size, element& out) {
    if (size < 2 || bytes[1] >= 0x80 || size != 2u + bytes[1])
        return false;
    out.tag = bytes[0];
    out.content.assign(bytes + 2, bytes + size);
    return true;
}

std::string dotted_oid(const std::vector<unsigned char>& content) {
    if (content.empty())
        return "(empty)";
    std::string text = std::to_string(content[0] / 40) + "." + std::to_string(content[0] % 40);
    unsigned long arc = 0;
    for (size_t i = 1; i < content.size(); i++) {
        arc = (arc << 7) | (content[i] & 0x7F);
        if (!(content[i] & 0x80)) {
            text += "." + std::to_string(arc);
            arc = 0;
        }
    }
    return text;
}

// The attribute values are fixed encodings written out by hand: decode them to what they mean.
TEST(SignatureAttributes, OpusInfoThenIndividualStatementType) {
    const signature_attribute& opus = kSignatureAttributes[0];
    EXPECT_STREQ(opus.oid, "1.3.6.1.4.1.311.2.1.12");
    element sequence;
    ASSERT_TRUE(read_whole(opus.value, opus.size, sequence));
    EXPECT_EQ(sequence.tag, 0x30);
    EXPECT_TRUE(sequence.content.empty());  // no program name, no URL

    const signature_attribute& statement = kSignatureAttributes[1];
    EXPECT_STREQ(statement.oid, "1.3.6.1.4.1.311.2.1.11");
    ASSERT_TRUE(read_whole(statement.value, statement.size, sequence));
    EXPECT_EQ(sequence.tag, 0x30);
    element purpose;
    ASSERT_TRUE(read_whole(sequence.content.data(), sequence.content.size(), purpose));
    EXPECT_EQ(purpose.tag, 0x06);
    EXPECT_EQ(dotted_oid(purpose.content), "1.3.6.1.4.1.311.2.1.21");
}

}  // namespace
