#include "base/signature_profile.h"

namespace {

constexpr int kWindows7 = 0x61;  // and Server 2008 R2

// An empty SpcSpOpusInfo: no program name, no URL.
constexpr unsigned char kEmptyOpusInfo[] = {0x30, 0x00};
// SpcStatementType: a sequence of one purpose, individual code signing (1.3.6.1.4.1.311.2.1.21).
constexpr unsigned char kIndividualStatementType[] = {0x30, 0x0C, 0x06, 0x0A, 0x2B, 0x06, 0x01,
                                                      0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x15};

}  // namespace

const char* certificate_signature_algorithm(int version_code) {
    return version_code == kWindows7 ? "1.2.840.113549.1.1.5"    // sha1RSA
                                     : "1.2.840.113549.1.1.11";  // sha256RSA
}

const signature_attribute kSignatureAttributes[2] = {
    {"1.3.6.1.4.1.311.2.1.12", kEmptyOpusInfo, sizeof kEmptyOpusInfo},
    {"1.3.6.1.4.1.311.2.1.11", kIndividualStatementType, sizeof kIndividualStatementType},
};
