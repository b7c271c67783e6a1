// usbdrv_install_driver where the shell's elevated start is not used: a system older than Vista
// (the test prefix gives this program Windows XP, tests/wine/test-prefix.reg), so the host starts
// the program itself with CreateProcess. Only there can it hand the filter installer the pipe as
// its console, and relay what that prints.
#include <windows.h>

#include <gtest/gtest.h>

#include "host_fixture.h"
#include "usbdrv/usbdrv.h"
#include "win/windows_version.h"

namespace {

using test::helper_package;
using test::install;
using test::install_outcome;
using test::test_device;

class DirectStart : public testing::Test {
protected:
    void SetUp() override {
        detect_windows_version();
        ASSERT_LT(windows_version, 0x60) << "this program must see a Windows older than Vista";
    }
    void TearDown() override { EXPECT_TRUE(test::nothing_left()); }
};

TEST_F(DirectStart, TheHelperIsServedAsWhenStartedElevated) {
    helper_package package;
    package.script("connect\nrequest 2\nrequest 3\nstatus -13\nexit 0\n");
    test_device device;
    install_outcome o = install(package, device);
    EXPECT_EQ(o.result, USBDRV_ERR_EXISTS) << o.log;
    EXPECT_TRUE(o.logged("usbdrv:debug [installer process] got hardware_id: '" +
                         std::string(test::kHardwareId) + "'\n"))
        << o.log;

    package.script("exit 5\n");
    EXPECT_EQ(install(package, device).result, USBDRV_ERR_OTHER) << "exit before connecting";
}

TEST_F(DirectStart, TheFilterInstallersOutputIsRelayedAndItsExitCodeIsTheResult) {
    helper_package package;
    package.add_filter_installer();
    for (const test::filter_case& filter : test::filter_cases()) {
        install_outcome o = test::install_with_filter(package, filter);
        EXPECT_EQ(o.result, filter.result) << o.log;
        EXPECT_TRUE(o.logged(
            "usbdrv:info [install-filter] install-filter called with: " + filter.arguments + "\n"))
            << o.log;
    }
}

}  // namespace
