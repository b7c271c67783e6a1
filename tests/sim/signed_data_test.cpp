// What the simulated signer encodes itself: the DER order of a SET OF, which a verifier that
// encodes the authenticated attributes again relies on, what the message digest covers, and the
// attributes the signer adds itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "der_writer.h"
#include "signed_data.h"

namespace {

using der::bytes;

bytes oid(const char* dotted) {
    return *der::object_identifier(dotted);
}

TEST(DerSetOf, SortsTheEncodingsAsOctetStrings) {
    const struct {
        const char* what;
        std::vector<bytes> given;
        std::vector<bytes> in_order;
    } cases[] = {
        {"by the first byte that differs",
         {{0x06, 0x01, 0x02}, {0x04, 0x01, 0x05}},
         {{0x04, 0x01, 0x05}, {0x06, 0x01, 0x02}}},
        // A longer content makes a larger length byte: not the order of the contents.
        {"a longer element of the same tag after",
         {{0x30, 0x03, 0x01, 0x01, 0x01}, {0x30, 0x01, 0x09}},
         {{0x30, 0x01, 0x09}, {0x30, 0x03, 0x01, 0x01, 0x01}}},
        {"a prefix before what it starts",
         {{0x04, 0x01, 0x05, 0x00}, {0x04, 0x01, 0x05}},
         {{0x04, 0x01, 0x05}, {0x04, 0x01, 0x05, 0x00}}},
        {"bytes above 0x7F as unsigned", {{0x80}, {0x7F}}, {{0x7F}, {0x80}}},
        {"nothing", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bytes content;
        for (const bytes& element : c.in_order)
            content.insert(content.end(), element.begin(), element.end());
        EXPECT_EQ(der::set_of(c.given), der::tlv(der::kSet, content));
    }
}

TEST(SignedDataDigest, CoversTheContentWithoutItsTagAndLength) {
    const bytes long_content(300, 0x5A);
    const bytes long_form = der::tlv(der::kSequence, long_content);  // 30 82 01 2C ...
    ASSERT_EQ(long_form[1], 0x82);
    const struct {
        const char* what;
        bytes encoding;
        std::optional<bytes> digested;
    } cases[] = {
        {"a short length", {0x30, 0x02, 0x05, 0x00}, bytes{0x05, 0x00}},
        {"a long length", long_form, long_content},
        {"empty content", {0x30, 0x00}, bytes{}},
        {"content missing", {0x30, 0x03, 0x05, 0x00}, std::nullopt},
        {"bytes after it", {0x30, 0x01, 0x05, 0x00}, std::nullopt},
        {"an indefinite length", {0x30, 0x80, 0x00, 0x00}, std::nullopt},
        {"a length cut short", {0x30, 0x82, 0x01}, std::nullopt},
        {"no length", {0x30}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(signed_data::digested_content(c.encoding), c.digested) << c.what;
}

TEST(SignedDataAttributes, TheSignerAddsTheContentTypeAndTheDigestItself) {
    const bytes digest(32, 0xD1);
    const bytes opus = {0x30, 0x00};
    std::optional<bytes> set = signed_data::authenticated_attributes(
        "1.3.6.1.4.1.311.10.1", digest, {{"1.3.6.1.4.1.311.2.1.12", {opus}}});
    ASSERT_TRUE(set);
    auto attribute = [](const char* type, const bytes& value) {
        return der::sequence({oid(type), der::set_of({value})});
    };
    EXPECT_EQ(*set, der::set_of({
                        attribute("1.2.840.113549.1.9.3", oid("1.3.6.1.4.1.311.10.1")),
                        attribute("1.2.840.113549.1.9.4", der::octet_string(digest.data(), 32)),
                        attribute("1.3.6.1.4.1.311.2.1.12", opus),
                    }));

    // A second content type or digest would leave a verifier to choose.
    for (const char* own : {"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"}) {
        EXPECT_FALSE(
            signed_data::authenticated_attributes("1.3.6.1.4.1.311.10.1", digest, {{own, {opus}}}))
            << own;
    }
    EXPECT_FALSE(signed_data::authenticated_attributes("1.3.6.1.4.1.311.10.1", digest,
                                                       {{"not.an.identifier", {opus}}}));
    EXPECT_FALSE(signed_data::authenticated_attributes("ctl", digest, {}));
}

}  // namespace
