// The helper's table of install-call errors: every listed code with its lines and result, the
// unlisted ones, and how a code becomes an HRESULT for the system's message lookup.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install_errors.h"

namespace {

const char kPath[] = "C:\\Users\\me\\usb_driver\\Corvane.inf";

TEST(InstallErrors, EveryListedCodeGivesItsLinesAndResult) {
    const std::string service =
        "the \"Windows Update\" service is disabled. Please enable that service.";
    const std::string syntax = "the syntax of the inf is invalid";
    const std::string cancelled = "operation cancelled by the user";
    const struct {
        uint32_t code;
        usbdrv_result result;
        std::vector<std::string> lines;
    } rows[] = {
        {2,
         USBDRV_ERR_NOT_FOUND,
         {std::string("the system can not find the file specified (") + kPath + ")"}},
        {5,
         USBDRV_ERR_NEEDS_ADMIN,
         {"this process needs to be run with administrative privileges"}},
        {13, USBDRV_ERR_INF_SYNTAX, {syntax}},
        {87,
         USBDRV_ERR_INVALID_PARAM,
         {std::string("invalid path or hardware ID (") + kPath + ")"}},
        {183, USBDRV_ERR_EXISTS, {"driver already exists"}},
        {259, USBDRV_ERR_EXISTS, {"more recent driver was found (force option required)"}},
        {1058, USBDRV_ERR_OTHER, {service}},
        {3010, USBDRV_OK, {"the driver was installed successfully, but a reboot is required."}},
        {0x240006, USBDRV_OK, {"the driver is already installed"}},
        {0x8024002E, USBDRV_ERR_OTHER, {service}},
        {0xE0000003, USBDRV_ERR_INF_SYNTAX, {syntax}},
        {0xE0000100, USBDRV_ERR_INF_SYNTAX, {syntax}},
        {0xE0000203,
         USBDRV_ERR_NOT_SUPPORTED,
         {"the driver is not compatible with this version of Windows"}},
        {0xE000020B,
         USBDRV_OK,
         {"device not detected (copying driver files for next time device is plugged in)"}},
        {0xE0000217, USBDRV_ERR_INF_SYNTAX, {"a section of the inf has a problem"}},
        {0xE000022F,
         USBDRV_ERR_UNSIGNED,
         {"your system policy has been modified from Windows defaults, and",
          "is set to reject unsigned drivers. You must revert the driver",
          "installation policy to default if you want to install this driver.",
          "see https://learn.microsoft.com/windows-hardware/drivers/install/"
          "kernel-mode-code-signing-policy--windows-vista-and-later-"}},
        {0xE0000235, USBDRV_ERR_WOW64, {"attempted to use a 32 bit installer on a 64 bit machine"}},
        {0xE000023F, USBDRV_ERR_USER_CANCEL, {cancelled}},
        {0xE0000243, USBDRV_ERR_USER_CANCEL, {cancelled}},
        {0xE0000247, USBDRV_ERR_USER_CANCEL, {cancelled}},
        {0xE000024B, USBDRV_ERR_NOT_FOUND, {"unable to locate the file hashes in cat file"}},
        {0xE0000304, USBDRV_ERR_CAT_MISSING, {"unable to locate cat file"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << "0x" << r.code);
        install_error error = describe_install_error(r.code, kPath);
        EXPECT_EQ(error.result, r.result);
        EXPECT_EQ(error.lines, r.lines);
        EXPECT_FALSE(error.unlisted);
    }
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

TEST(InstallErrors, APathIsTextNeverAFormat) {
    install_error error = describe_install_error(2, "C:\\100%s\\%n%d.inf");
    EXPECT_EQ(error.lines, std::vector<std::string>{
                               "the system can not find the file specified (C:\\100%s\\%n%d.inf)"});
    EXPECT_EQ(describe_install_error(87, nullptr).lines,
              std::vector<std::string>{"invalid path or hardware ID ()"});
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
