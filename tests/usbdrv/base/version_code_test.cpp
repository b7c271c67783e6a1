#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/version_code.h"

namespace {

// A system that answers "equal" for one major and one minor version, and notes every question.
struct fake_system {
    unsigned major, minor;
    std::vector<std::pair<version_field, unsigned>> asked;
};

bool fake_verify(void* context, version_field field, unsigned value) {
    auto* system = static_cast<fake_system*>(context);
    system->asked.emplace_back(field, value);
    return value == (field == VERSION_FIELD_MAJOR ? system->major : system->minor);
}

TEST(WindowsVersionCode, CorrectsUnderstatedVersions) {
    const struct {
        const char* what;
        bool nt;
        unsigned reported_major, reported_minor;
        unsigned real_major, real_minor;
        int code;
        bool asks;
    } rows[] = {
        {"XP", true, 5, 1, 5, 1, 0x51, false},
        {"Server 2003", true, 5, 2, 5, 2, 0x52, false},
        {"Vista", true, 6, 0, 6, 0, 0x60, false},
        {"7", true, 6, 1, 6, 1, 0x61, false},
        {"8", true, 6, 2, 6, 2, 0x62, true},
        {"8.1 reporting 6.2", true, 6, 2, 6, 3, 0x63, true},
        {"10 preview reporting 6.2", true, 6, 2, 6, 4, 0x64, true},
        {"10 reporting 6.2: 10 is beyond the search", true, 6, 2, 10, 0, 0x62, true},
        {"10 reporting 10.0", true, 10, 0, 10, 0, 0xA0, false},
        {"2000", true, 5, 0, 5, 0, 0, false},
        {"NT 4", true, 4, 0, 4, 0, 0, false},
        {"not NT", false, 4, 10, 4, 10, -1, false},
        {"major above 15", true, 16, 0, 16, 0, -1, false},
        {"minor above 15", true, 5, 16, 5, 16, -1, false},
        {"nothing verifies", true, 6, 2, 99, 99, 0x62, true},
    };
    for (const auto& r : rows) {
        fake_system system{r.real_major, r.real_minor, {}};
        EXPECT_EQ(
            windows_version_code(r.nt, r.reported_major, r.reported_minor, fake_verify, &system),
            r.code)
            << r.what;
        EXPECT_EQ(!system.asked.empty(), r.asks) << r.what;
    }
}

TEST(WindowsVersionCode, AsksMajorsUpwardsThenMinorsFromTheStart) {
    // 6.2 reported on Windows 10: majors 6, 7, 8, 9 are asked; 10 is beyond the loop, so the
    // reported numbers stay, and the minor is searched from 2 for major 6.
    fake_system ten{10, 0, {}};
    EXPECT_EQ(windows_version_code(true, 6, 2, fake_verify, &ten), 0x62);
    ASSERT_EQ(ten.asked.size(), 4u);
    EXPECT_EQ(ten.asked[3], std::make_pair(VERSION_FIELD_MAJOR, 9u));

    // A major found above the reported one restarts the minor at 0.
    fake_system eight{8, 0, {}};
    EXPECT_EQ(windows_version_code(true, 6, 2, fake_verify, &eight), 0x80);
    ASSERT_EQ(eight.asked.size(), 4u);
    EXPECT_EQ(eight.asked[2], std::make_pair(VERSION_FIELD_MAJOR, 8u));
    EXPECT_EQ(eight.asked[3], std::make_pair(VERSION_FIELD_MINOR, 0u));

    // A minor that never verifies keeps the reported one.
    fake_system odd{6, 12, {}};
    EXPECT_EQ(windows_version_code(true, 6, 2, fake_verify, &odd), 0x62);
}

TEST(WindowsVersionCode, WorksWithoutAVerifier) {
    EXPECT_EQ(windows_version_code(true, 6, 2, nullptr, nullptr), 0x62);
}

}  // namespace
