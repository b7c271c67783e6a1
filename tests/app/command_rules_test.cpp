// The commands' decisions without the dialog: the identifier check, the start of a command, the
// install command's package folder and the device it installs.
#include "command_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(IsHex4, TakesFourHexDigitsOnly) {
    const struct {
        const char* text;
        bool accepted;
    } rows[] = {
        {"AB12", true},  {"ab12", true},  {"0000", true},   {"fFfF", true},  {"09aF", true},
        {"", false},     {"123", false},  {"12345", false}, {" 123", false}, {"123 ", false},
        {"+123", false}, {"-123", false}, {"0x12", false},  {"12G4", false}, {"12:4", false},
        {"12@4", false}, {"12`4", false}, {"12g4", false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(IsHex4(r.text), r.accepted) << '"' << r.text << '"';
    }
    // A NUL inside counts as a character that is no digit.
    EXPECT_FALSE(
        IsHex4(std::string("12\0"
                           "4",
                           4)));
    EXPECT_EQ(Hex4Value("ab12"), Hex4Value("AB12"));
    EXPECT_EQ(Hex4Value("ab12"), 0xAB12);
    EXPECT_EQ(Hex4Value("0C01"), 0x0C01);
}

// start_command with fakes that note what they were asked.
struct command_run {
    std::atomic<bool> busy{false};
    std::string vid = "C04A", pid = "0C01";
    std::string typed_vid = "C04A", typed_pid = "0C01";
    bool thread_starts = true;
    std::vector<std::string> asked;

    command_start press() {
        return start_command(
            busy,
            [this] {
                asked.push_back("read fields");
                vid = typed_vid;
                pid = typed_pid;
            },
            vid, pid,
            [this] {
                asked.push_back(busy ? "start worker while busy" : "start worker while idle");
                return thread_starts;
            });
    }
};

TEST(StartCommand, ChecksTheFieldsAsReadThenMarksTheDialogBusy) {
    const struct {
        const char* typed_vid;
        const char* typed_pid;
        bool thread_starts;
        command_start outcome;
        bool busy_after;
        std::vector<std::string> asked;
    } rows[] = {
        {"ab12",
         "0C02",
         true,
         command_start::started,
         true,
         {"read fields", "start worker while busy"}},
        // VID before PID; nothing starts and the dialog stays idle.
        {"12G4", "XXXX", true, command_start::bad_vid, false, {"read fields"}},
        {"C04A", "0x12", true, command_start::bad_pid, false, {"read fields"}},
        // A worker the system will not start leaves the dialog idle, ready for the next press.
        {"C04A",
         "0C01",
         false,
         command_start::no_thread,
         false,
         {"read fields", "start worker while busy"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.typed_vid) + "/" + r.typed_pid);
        command_run run;
        run.vid = "0000";  // what the members held before the fields were read
        run.typed_vid = r.typed_vid;
        run.typed_pid = r.typed_pid;
        run.thread_starts = r.thread_starts;
        EXPECT_EQ(run.press(), r.outcome);
        EXPECT_EQ(run.busy, r.busy_after);
        EXPECT_EQ(run.asked, r.asked);
    }
}

TEST(StartCommand, ABusyDialogRefusesBeforeReadingAnything) {
    command_run run;
    ASSERT_EQ(run.press(), command_start::started);
    run.asked.clear();
    EXPECT_EQ(run.press(), command_start::busy);
    EXPECT_TRUE(run.asked.empty());
    EXPECT_TRUE(run.busy);
    EXPECT_STREQ(command_start_text(command_start::busy), "Operating........");
    EXPECT_EQ(command_start_text(command_start::started), nullptr);

    // After a failed start the next press starts again.
    command_run failing;
    failing.thread_starts = false;
    EXPECT_EQ(failing.press(), command_start::no_thread);
    failing.thread_starts = true;
    EXPECT_EQ(failing.press(), command_start::started);
}

TEST(InstallFolder, IsBelowAFullProfilePathThatFits) {
    const std::string long_profile = "C:\\" + std::string(245, 'p');  // 248 + 11 = 259
    const struct {
        const char* profile;
        package_folder::outcome_kind outcome;
        std::string path;
    } rows[] = {
        {"C:\\users\\root", package_folder::ok, "C:\\users\\root\\usb_driver"},
        {"c:/users/root/", package_folder::ok, "c:/users/root/usb_driver"},
        {"\\\\server\\home", package_folder::ok, "\\\\server\\home\\usb_driver"},
        {"C:\\用户\\张三", package_folder::ok, "C:\\用户\\张三\\usb_driver"},
        {long_profile.c_str(), package_folder::ok, long_profile + "\\usb_driver"},
        // Not set, empty, or relative: the package would land below some other folder.
        {nullptr, package_folder::no_profile, ""},
        {"", package_folder::no_profile, ""},
        {"users\\root", package_folder::no_profile, ""},
        {"C:users", package_folder::no_profile, ""},
        {"\\users\\root", package_folder::no_profile, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.profile ? r.profile : "(not set)");
        package_folder folder = install_folder(r.profile);
        EXPECT_EQ(folder.outcome, r.outcome);
        EXPECT_EQ(folder.path, r.path);
    }
    // One byte more and the path would be cut: it is refused whole.
    std::string too_long = long_profile + "p";
    EXPECT_EQ(install_folder(too_long.c_str()).outcome, package_folder::too_long);
    EXPECT_EQ(install_folder(too_long.c_str()).path, "");
    EXPECT_NE(package_folder_text(package_folder::too_long), nullptr);
    EXPECT_NE(package_folder_text(package_folder::no_profile), nullptr);
}

TEST(DeviceToInstall, IsTheSelectedListedDeviceOrNone) {
    char a_id[] = "USB\\VID_C04A&PID_0C02&MI_00\\7&1C3A5&0&0000";
    char b_id[] = "USB\\VID_C04A&PID_0C02&MI_02\\7&1C3A5&0&0002";
    usbdrv_device_entry a = {}, b = {}, no_id = {}, built = {};
    a.device_id = a_id;
    b.device_id = b_id;
    const std::vector<usbdrv_device_entry> listed = {no_id, a, b};

    EXPECT_EQ(device_to_install({}, "", built), &built);
    EXPECT_EQ(device_to_install(listed, b_id, built), &listed[2]);
    EXPECT_EQ(device_to_install(listed, a_id, built), &listed[1]);
    // Gone from the list, or compared in another case: no device, never the built record.
    EXPECT_EQ(device_to_install(listed, "USB\\VID_C04A&PID_0C02&MI_04\\x", built), nullptr);
    EXPECT_EQ(device_to_install(listed, "usb\\vid_c04a&pid_0c02&mi_00\\7&1c3a5&0&0000", built),
              nullptr);
    EXPECT_EQ(device_to_install(listed, "", built), nullptr);
}

}  // namespace
