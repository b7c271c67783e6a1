// The helper's table of install-call errors, read from the product's own table: every listed code
// with its lines and result, the results the flow depends on, the unlisted codes, and how a code
// becomes an HRESULT for the system's message lookup.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/install_errors.h"

namespace {

const char kPath[] = "C:\\Users\\me\\usb_driver\\Corvane.inf";

// A row's line with the INF path where it names one.
std::string with_path(const char* line, const std::string& path) {
    std::string text = line;
    size_t at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, path);
    return text;
}

// The rows of the product's table, each code once.
TEST(InstallErrors, EveryListedCodeGivesItsRowsLinesAndResult) {
    ASSERT_GT(kInstallErrorRowCount, 0u);
    std::set<uint32_t> codes;
    for (size_t i = 0; i < kInstallErrorRowCount; i++) {
        const install_error_row& row = kInstallErrorRows[i];
        SCOPED_TRACE(testing::Message() << std::hex << "0x" << row.code);
        EXPECT_TRUE(codes.insert(row.code).second) << "listed twice";
        std::vector<std::string> lines;
        for (const char* line : row.lines) {
            if (line)
                lines.push_back(with_path(line, kPath));
        }
        ASSERT_FALSE(lines.empty());
        install_error error = describe_install_error(row.code, kPath);
        EXPECT_EQ(error.result, row.result);
        EXPECT_EQ(error.lines, lines);
        EXPECT_FALSE(error.unlisted);
    }
}

// The results the helper's flow and the programs' exit codes depend on: the three codes that are
// no failure (the INF copy follows), the user's cancel, the unsigned driver with the article on
// the signing policy as its last line.
TEST(InstallErrors, TheResultsTheFlowDependsOn) {
    for (uint32_t code : {3010u /* ERROR_SUCCESS_REBOOT_REQUIRED */, 0x240006u,
                          0xE000020Bu /* ERROR_NO_SUCH_DEVINST */}) {
        EXPECT_EQ(describe_install_error(code, kPath).result, USBDRV_OK) << std::hex << code;
    }
    for (uint32_t code : {0xE000023Fu, 0xE0000243u, 0xE0000247u}) {
        EXPECT_EQ(describe_install_error(code, kPath).result, USBDRV_ERR_USER_CANCEL)
            << std::hex << code;
    }
    install_error unsigned_driver = describe_install_error(0xE000022F, kPath);
    EXPECT_EQ(unsigned_driver.result, USBDRV_ERR_UNSIGNED);
    ASSERT_FALSE(unsigned_driver.lines.empty());
    EXPECT_EQ(unsigned_driver.lines.back(), "see " USBDRV_SIGNING_POLICY_LINK);
    size_t ok = 0;
    for (size_t i = 0; i < kInstallErrorRowCount; i++)
        ok += kInstallErrorRows[i].result == USBDRV_OK;
    EXPECT_EQ(ok, 3u) << "only those three go on";
}

TEST(InstallErrors, AnUnlistedCodeIsNamedInHexadecimalAndDecimal) {
    const struct {
        uint32_t code;
        const char* line;
    } rows[] = {
        {122, "unhandled error 0x7A (122)"},
        {0, "unhandled error 0x0 (0)"},
        {0xE0000204, "unhandled error 0xE0000204 (-536870396)"},
        {0x80070005, "unhandled error 0x80070005 (-2147024891)"},
    };
    for (const auto& r : rows) {
        install_error error = describe_install_error(r.code, kPath);
        EXPECT_EQ(error.result, USBDRV_ERR_OTHER) << r.line;
        EXPECT_EQ(error.lines, std::vector<std::string>{r.line});
        EXPECT_TRUE(error.unlisted) << r.line;
    }
}

// In every row that names the INF path, a path is put in as text, never read as a format; no
// path is an empty one.
TEST(InstallErrors, APathIsTextNeverAFormat) {
    const std::string path = "C:\\100%s\\%n%d.inf";
    size_t naming = 0;
    for (size_t i = 0; i < kInstallErrorRowCount; i++) {
        const install_error_row& row = kInstallErrorRows[i];
        if (!row.lines[0] || !strstr(row.lines[0], "%s"))
            continue;
        naming++;
        SCOPED_TRACE(row.lines[0]);
        EXPECT_EQ(describe_install_error(row.code, path.c_str()).lines,
                  std::vector<std::string>{with_path(row.lines[0], path)});
        EXPECT_EQ(describe_install_error(row.code, nullptr).lines,
                  std::vector<std::string>{with_path(row.lines[0], "")});
    }
    EXPECT_GT(naming, 0u);
}

TEST(InstallErrors, TheLookupCodeOfEachErrorSpace) {
    const struct {
        uint32_t code;
        uint32_t hresult;
    } rows[] = {
        {0, 0},
        {122, 0x8007007A},
        {0x1FFFFFFF, 0x8007FFFF},  // top three bits clear: the low 16 bits only
        {0x00240006, 0x80070006},
        {0xE0000235, 0x800F0235},  // the setup error space
        {0xFFFFFFFF, 0x800FFFFF},
        {0x8024002E, 0x8024002E},  // an HRESULT already
        {0x20000001, 0x20000001},  // any other top bits: unchanged
        {0xC0000005, 0xC0000005},
    };
    for (const auto& r : rows)
        EXPECT_EQ(install_error_lookup_code(r.code), r.hresult) << std::hex << r.code;
}

}  // namespace
