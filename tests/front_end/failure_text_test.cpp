// What a user reads of a failure: the library's text first, its codes, and the next step where
// there is one; and how the Windows error behind it is found in the library's lines.
#include "failure_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

failure_facts facts(failure_step step, usbdrv_result result, uint32_t windows_error = 0) {
    failure_facts f;
    f.step = step;
    f.result = result;
    f.library_text = "<library text>";
    f.windows_error = windows_error;
    f.folder = "C:\\Users\\me\\usb_driver";
    f.setup_log = "C:\\Windows\\INF\\setupapi.dev.log";
    f.detail = "<detail>";
    return f;
}

TEST(FailureText, TheLibrarysTextWithItsCodesAndTheNextStep) {
    const auto prepare = failure_step::preparation;
    const auto install = failure_step::installation;
    failure_facts busy_installing = facts(install, USBDRV_ERR_BUSY);
    busy_installing.installation_running = true;
    const struct {
        const char* what;
        failure_facts f;
        std::string codes;                // right after the library's text
        std::vector<std::string> saying;  // in the text after the codes
    } rows[] = {
        {"an error the helper has no result of its own for",
         facts(install, USBDRV_ERR_OTHER, 122),
         " (library error -99, Windows error 122).",
         {"<detail>"}},
        {"unsigned: what refused it and where to read",
         facts(install, USBDRV_ERR_UNSIGNED),
         " (library error -19).",
         {"driver installation policy", "C:\\Windows\\INF\\setupapi.dev.log", "<detail>"}},
        {"a code of the setup services in hexadecimal",
         facts(install, USBDRV_ERR_UNSIGNED, 0xE000022F),
         " (library error -19, Windows error 0xE000022F).",
         {}},
        {"busy with an installation",
         busy_installing,
         " (library error -6).",
         {"Another driver installation is running"}},
        {"busy with a listing or a preparation",
         facts(prepare, USBDRV_ERR_BUSY),
         " (library error -6).",
         {"listing the devices or preparing a driver package"}},
        {"the elevation refused",
         facts(install, USBDRV_ERR_NEEDS_ADMIN),
         " (library error -15).",
         {"accept the elevation prompt"}},
        {"cancelled",
         facts(install, USBDRV_ERR_USER_CANCEL),
         " (library error -14).",
         {"nothing was changed"}},
        {"a folder that cannot be written, with the cause's code",
         facts(prepare, USBDRV_ERR_ACCESS, 3),
         " (library error -3, Windows error 3).",
         {"could not be written into C:\\Users\\me\\usb_driver", "drive and folders exist"}},
        {"timed out",
         facts(install, USBDRV_ERR_TIMEOUT),
         " (library error -7).",
         {"goes on without this program"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        std::string text = failure_text(r.f);
        const std::string start = std::string(r.f.library_text) + r.codes;
        ASSERT_EQ(text.compare(0, start.size(), start), 0) << text;
        for (const std::string& part : r.saying)
            EXPECT_NE(text.find(part, start.size()), std::string::npos) << part << " in " << text;
    }
    // An installation's access failure names no folder: it was not the folder that failed.
    EXPECT_EQ(failure_text(facts(install, USBDRV_ERR_ACCESS)).find("usb_driver"),
              std::string::npos);
    failure_facts bare = facts(install, USBDRV_ERR_OTHER);
    bare.detail.clear();
    EXPECT_EQ(failure_text(bare), "<library text> (library error -99).");
}

TEST(FailureWatch, TheWindowsErrorBehindAFailureFromTheLibrarysLines) {
    const int debug = USBDRV_LOG_DEBUG, error = USBDRV_LOG_ERROR, warning = USBDRV_LOG_WARNING;
    const struct {
        const char* what;
        std::vector<std::pair<int, const char*>> lines;
        uint32_t code;
    } rows[] = {
        {"the helper's unlisted error, relayed as a debug line",
         {{debug, "usbdrv:debug [installer process] unhandled error 0x7A (122)"},
          {debug,
           "usbdrv:debug [installer process] [122] The data area passed to a system call "
           "is too small."}},
         122},
        {"a library call's system error text",
         {{error,
           "usbdrv:error [check_dir] unable to create directory 'Q:\\x': [#00000003] The "
           "system cannot find the path specified."}},
         3},
        {"the first failing call is the cause",
         {{error, "usbdrv:error [a] [#00000003] first"}, {error, "usbdrv:error [b] [#00000005] b"}},
         3},
        {"the helper's code wins: its status goes with it",
         {{error, "usbdrv:error [a] [#00000005] access"},
          {debug, "usbdrv:debug [installer process] unhandled error 0xE0000100 (-536870656)"}},
         0xE0000100},
        {"a system text below the error level is no failure",
         {{warning, "usbdrv:warning [a] [#00000005] access"}, {debug, "[#00000002]"}},
         0},
        {"malformed codes are no codes",
         {{error, "usbdrv:error [a] [#0003] short"},
          {error, "usbdrv:error [a] [#000000003] long"},
          {error, "usbdrv:error [a] [#0000000G] not hexadecimal"},
          {error, "usbdrv:error [a] [#00000000] no error"},
          {debug, "usbdrv:debug [installer process] unhandled error 0x (1)"},
          {debug, "usbdrv:debug [installer process] unhandled error 0x7A"},
          {debug, "usbdrv:debug [somebody else] unhandled error 0x7A (122)"}},
         0},
        {"a second text in one line", {{error, "usbdrv:error [a] [#] then [#00000057] x"}}, 0x57},
        {"no lines", {}, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        failure_watch watch;
        for (const auto& [level, line] : r.lines)
            watch.take(level, line);
        EXPECT_EQ(watch.windows_error(), r.code);
        watch.reset();
        EXPECT_EQ(watch.windows_error(), 0u) << "reset";
    }
    failure_watch watch;
    watch.take(error, nullptr);
    EXPECT_EQ(watch.windows_error(), 0u);
}

TEST(FailureText, WindowsErrorsAsSupportLooksThemUp) {
    EXPECT_EQ(windows_error_text(5), "5");
    EXPECT_EQ(windows_error_text(0xFFFF), "65535");
    EXPECT_EQ(windows_error_text(0x10000), "0x00010000");
    EXPECT_EQ(windows_error_text(0xE000022F), "0xE000022F");
    EXPECT_EQ(setup_log_in("C:\\WINDOWS"), "C:\\WINDOWS\\INF\\setupapi.dev.log");
    EXPECT_EQ(setup_log_in(""), "C:\\Windows\\INF\\setupapi.dev.log");
}

}  // namespace
