// The dialog commands' decisions without the dialog: the start of a command, the texts of an
// install folder that is not there, and the device it installs. The identifier check and the
// folder are the front-end core's (tests/front_end/).
#include "command_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// start_command with fakes that note what they were asked.
struct command_run {
    std::atomic<bool> busy{false};
    std::string vid = "C04A", pid = "0C01";
    std::string typed_vid = "C04A", typed_pid = "0C01";
    std::string description = "Virtual COM Port";
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
                asked.push_back("description");
                return description;
            },
            [this] {
                asked.push_back(busy ? "start worker while busy" : "start worker while idle");
                return thread_starts;
            });
    }
};

TEST(StartCommand, ChecksTheFieldsAsReadThenMarksTheDialogBusy) {
    const std::string longest(USBDRV_DESCRIPTION_MAX, 'n');
    const struct {
        const char* typed_vid;
        const char* typed_pid;
        std::string description;
        bool thread_starts;
        command_start outcome;
        bool busy_after;
        std::vector<std::string> asked;
    } rows[] = {
        {"ab12",
         "0C02",
         "Board",
         true,
         command_start::started,
         true,
         {"read fields", "description", "start worker while busy"}},
        // VID before PID before the name; nothing starts and the dialog stays idle.
        {"12G4", "XXXX", longest + "n", true, command_start::bad_vid, false, {"read fields"}},
        {"C04A", "0x12", longest + "n", true, command_start::bad_pid, false, {"read fields"}},
        // A name the INF cannot hold whole (the front-end core's rule: a quote counts twice).
        {"C04A",
         "0C01",
         longest + "n",
         true,
         command_start::long_name,
         false,
         {"read fields", "description"}},
        {"C04A",
         "0C01",
         longest.substr(1) + "\"",
         true,
         command_start::long_name,
         false,
         {"read fields", "description"}},
        {"C04A",
         "0C01",
         longest,
         true,
         command_start::started,
         true,
         {"read fields", "description", "start worker while busy"}},
        // A worker the system will not start leaves the dialog idle, ready for the next press.
        {"C04A",
         "0C01",
         "Board",
         false,
         command_start::no_thread,
         false,
         {"read fields", "description", "start worker while busy"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.typed_vid) + "/" + r.typed_pid + " " +
                     std::to_string(r.description.size()));
        command_run run;
        run.vid = "0000";  // what the members held before the fields were read
        run.typed_vid = r.typed_vid;
        run.typed_pid = r.typed_pid;
        run.description = r.description;
        run.thread_starts = r.thread_starts;
        EXPECT_EQ(run.press(), r.outcome);
        EXPECT_EQ(run.busy, r.busy_after);
        EXPECT_EQ(run.asked, r.asked);
    }
    // The box names the limit.
    EXPECT_NE(std::string(command_start_text(command_start::long_name))
                  .find(" " + std::to_string(USBDRV_DESCRIPTION_MAX) + " bytes"),
              std::string::npos);
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

// The install folder itself is the front-end core's (tests/front_end/package_folder_test.cpp).
TEST(PackageFolderText, SaysWhyNothingWasWritten) {
    for (auto outcome : {package_folder::too_long, package_folder::not_set,
                         package_folder::not_full_path, package_folder::not_text}) {
        EXPECT_NE(package_folder_text(outcome), nullptr) << outcome;
    }
    EXPECT_STRNE(package_folder_text(package_folder::too_long),
                 package_folder_text(package_folder::not_set));
    EXPECT_STRNE(package_folder_text(package_folder::not_text),
                 package_folder_text(package_folder::not_set));
    EXPECT_EQ(package_folder_text(package_folder::ok), nullptr);
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

// The box after an installation names what happened to the device: the specified success text
// with the port added, the restart when one is due, and never "installed" when nothing was bound.
TEST(InstallationBoxText, SaysWhatTheInstallationDid) {
    auto outcome = [](installation_outcome::kind_type kind, const char* port, bool restart) {
        installation_outcome o;
        o.kind = kind;
        o.port = port;
        o.needs_restart = restart;
        return o;
    };
    const auto installed = installation_outcome::installed;
    const auto stored = installation_outcome::stored;
    const struct {
        installation_outcome outcome;
        std::string text;
    } rows[] = {
        {outcome(installed, "COM3", false), "The driver was installed successfully on COM3."},
        {outcome(installed, "COM12", true),
         "The driver was installed successfully on COM12. Windows must be restarted to finish "
         "the installation."},
        {outcome(installed, "", false), "The driver was installed successfully."},
        {outcome(installed, "", true),
         "The driver was installed successfully. Windows must be restarted to finish the "
         "installation."},
        {outcome(stored, "", false),
         "The driver was stored and will be used when the device is plugged in."},
        {outcome(stored, "COM3", true),
         "The driver was stored and will be used when the device is plugged in."},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(installation_box_text(r.outcome), r.text);
    }
    EXPECT_EQ(extracted_box_text("C:\\work\\usb_driver"),
              "The driver was extracted successfully to C:\\work\\usb_driver.");
}

}  // namespace
