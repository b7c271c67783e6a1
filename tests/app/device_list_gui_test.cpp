// The device list of the dialog on the simulated machine: what is listed, the selection across
// plugging and unplugging, the identifiers shown, the user's names and the install caption.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_rules.h"
#include "dialog_texts.h"
#include "gui_driver.h"
#include "identifiers.h"
#include "simulated_machine.h"

namespace {

using namespace gui;
using test::scenario_of;
using test::sim_device;
using items = std::vector<std::wstring>;

// The program's own texts: the install button's captions and, with no device, the placeholder.
const std::wstring kInstall = widen(kInstallCaption);
const std::wstring kReinstall = widen(kReinstallCaption);
const std::wstring kPlaceholder = widen(kPlaceholderName);

// A CDC function of a composite device: interface `mi` of board `pid`, serial `serial`.
sim_device cdc(const char* pid, int mi, const char* name, const std::string& more = "") {
    char instance[96];
    snprintf(instance, sizeof instance, "USB\\VID_C04A&PID_%s&MI_%02d\\7&%s&0&%04d", pid, mi, pid,
             mi);
    std::string id = std::string(instance).substr(4, std::string(instance).find('\\', 4) - 4);
    return {instance, "hardware_id = USB\\" + id +
                          "\ncompatible_id = USB\\Class_02&SubClass_02&Prot_01\n" +
                          "bus_description = " + name + "\n" + more};
}

struct device_fields {
    std::wstring vid, pid, uid, caption;
};

device_fields fields(corvane& program) {
    return {text_of(program.item(IDC_EDIT_VID)), text_of(program.item(IDC_EDIT_PID)),
            text_of(program.item(IDC_EDIT_UID)), text_of(program.item(IDC_BUTTON_INSTALL))};
}

// Waits until the combo box holds exactly `expected`.
bool shows(corvane& program, const items& expected, DWORD timeout_ms = 5000) {
    return eventually([&] { return combo_items(program.item(IDC_COMBO_DEVICE)) == expected; },
                      timeout_ms);
}

TEST(DeviceList, ListsTheCdcInterfacesOfCompositeDevices) {
    const struct {
        const char* scenario;
        items listed;
        const std::wstring& caption;
    } rows[] = {
        // The composite parent and the data interfaces (class 0A) are not listed.
        {"one-board.scn",
         {L"Corvane Serial A (Interface 0)", L"Corvane Serial B (Interface 2)"},
         kInstall},
        {"usbser-board.scn",
         {L"Corvane Serial A (Interface 0)", L"Corvane Serial B (Interface 2)"},
         kReinstall},
        // A single-function serial device (no MI_ part) and hubs: nothing to list.
        {"hubs.scn", {kPlaceholder}, kInstall},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.scenario);
        SetEnvironmentVariableA("CORVANE_SCENARIO", test::shipped_scenario(r.scenario).c_str());
        corvane program;
        ASSERT_NE(program.dialog(), nullptr);
        // Listed by the first refresh, before any tick.
        EXPECT_EQ(combo_items(program.item(IDC_COMBO_DEVICE)), r.listed);
        EXPECT_EQ(SendMessageW(program.item(IDC_COMBO_DEVICE), CB_GETCURSEL, 0, 0), 0);
        EXPECT_EQ(text_of(program.item(IDC_BUTTON_INSTALL)), r.caption);
        bool placeholder = r.listed.size() == 1;
        EXPECT_EQ(IsWindowEnabled(program.item(IDC_CHECK_EDIT)) != FALSE, !placeholder);
        EXPECT_EQ((GetWindowLongW(program.item(IDC_EDIT_VID), GWL_STYLE) & ES_READONLY) != 0,
                  !placeholder);
        if (!placeholder) {
            device_fields f = fields(program);
            EXPECT_EQ(f.vid, L"C04A");
            EXPECT_EQ(f.pid, L"0C02");
            EXPECT_EQ(f.uid, L"1C3A5&0&0000");  // the last 12 characters of the instance ID
        }
        if (strcmp(r.scenario, "one-board.scn") == 0)
            take_screenshot("device-list");
    }
    SetEnvironmentVariableA("CORVANE_SCENARIO", nullptr);
}

TEST(DeviceList, TheFirstCompatibleIdDecidesInAnyCase) {
    test::simulated_machine machine(scenario_of({
        {"USB\\VID_C04A&PID_0001&MI_00\\1",
         "compatible_id = usb\\class_02&subclass_02\nbus_description = Lower Case\n"},
        {"USB\\VID_C04A&PID_0002&MI_00\\2",
         "compatible_id = USB\\Class_0A\ncompatible_id = USB\\Class_02\nbus_description = Data\n"},
        {"USB\\VID_C04A&PID_0003&MI_00\\3",
         "compatible_id = USB\\Class_0\nbus_description = Short\n"},
        {"USB\\VID_1234&PID_0004&MI_01\\4",
         "compatible_id = USB\\Class_02\nbus_description = Other Vendor\n"},
    }));
    corvane program;
    ASSERT_NE(program.dialog(), nullptr);
    EXPECT_EQ(combo_items(program.item(IDC_COMBO_DEVICE)),
              (items{L"Lower Case (Interface 0)", L"Other Vendor (Interface 1)"}));
}

TEST(DeviceList, TheSelectionFollowsTheDevice) {
    sim_device a = cdc("0A00", 0, "Port A"), b = cdc("0B00", 0, "Port B"),
               c = cdc("0C00", 2, "Port C");
    test::simulated_machine machine(scenario_of({a, b}));
    corvane program;
    HWND dialog = program.dialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(shows(program, {L"Port A (Interface 0)", L"Port B (Interface 0)"}));

    select_item(dialog, 1);
    EXPECT_EQ(fields(program).pid, L"0B00");

    // A device plugged in ahead of it: the selection stays on B.
    machine.set(scenario_of({c, a, b}));
    ASSERT_TRUE(shows(program,
                      {L"Port C (Interface 2)", L"Port A (Interface 0)", L"Port B (Interface 0)"}));
    EXPECT_EQ(SendMessageW(program.item(IDC_COMBO_DEVICE), CB_GETCURSEL, 0, 0), 2);
    EXPECT_EQ(fields(program).pid, L"0B00");
    EXPECT_EQ(fields(program).uid, L"&0B00&0&0000");

    // The selected device unplugged: the selection moves to the first one listed.
    machine.set(scenario_of({c, a}));
    ASSERT_TRUE(shows(program, {L"Port C (Interface 2)", L"Port A (Interface 0)"}));
    EXPECT_EQ(SendMessageW(program.item(IDC_COMBO_DEVICE), CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(fields(program).pid, L"0C00");

    // Everything unplugged: the placeholder with the default identifiers.
    machine.set("");
    ASSERT_TRUE(shows(program, {kPlaceholder}));
    EXPECT_EQ(fields(program).vid, widen(hex4_text(kPlaceholderVid).c_str()));
    EXPECT_EQ(fields(program).pid, widen(hex4_text(kPlaceholderPid).c_str()));
    EXPECT_EQ(fields(program).uid, L"");
    EXPECT_FALSE(IsWindowEnabled(program.item(IDC_CHECK_EDIT)));
}

TEST(DeviceList, ANameLastsWhileItsDeviceStaysPlugged) {
    sim_device a = cdc("0A00", 0, "Port A"), b = cdc("0B00", 2, "Port B");
    test::simulated_machine machine(scenario_of({a, b}));
    corvane program;
    HWND dialog = program.dialog();
    ASSERT_NE(dialog, nullptr);
    select_item(dialog, 1);

    auto rename = [&](const wchar_t* name) {
        click(
            program.item(IDC_CHECK_EDIT));  // tick "Edit": the name box takes the combo box's place
        ASSERT_TRUE(IsWindowVisible(program.item(IDC_EDIT_NAME)));
        EXPECT_FALSE(IsWindowVisible(program.item(IDC_COMBO_DEVICE)));
        EXPECT_EQ(text_of(program.item(IDC_EDIT_NAME)), L"Port B (Interface 2)");
        SendMessageW(program.item(IDC_EDIT_NAME), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name));
        click(program.item(IDC_CHECK_EDIT));  // clear it: the name is stored and shown at once
        EXPECT_TRUE(IsWindowVisible(program.item(IDC_COMBO_DEVICE)));
        EXPECT_FALSE(IsWindowVisible(program.item(IDC_EDIT_NAME)));
    };
    rename(L"Bench Port");
    EXPECT_EQ(combo_items(program.item(IDC_COMBO_DEVICE)),
              (items{L"Port A (Interface 0)", L"Bench Port"}));
    EXPECT_EQ(SendMessageW(program.item(IDC_COMBO_DEVICE), CB_GETCURSEL, 0, 0), 1);

    // Refreshes keep it. Renaming again replaces it.
    Sleep(2500);
    EXPECT_EQ(combo_items(program.item(IDC_COMBO_DEVICE)),
              (items{L"Port A (Interface 0)", L"Bench Port"}));
    click(program.item(IDC_CHECK_EDIT));
    SendMessageW(program.item(IDC_EDIT_NAME), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(L"Bench Port 2"));
    click(program.item(IDC_CHECK_EDIT));
    EXPECT_EQ(combo_items(program.item(IDC_COMBO_DEVICE)),
              (items{L"Port A (Interface 0)", L"Bench Port 2"}));

    // Unplugged for one refresh, the device comes back with its own description.
    machine.set(scenario_of({a}));
    ASSERT_TRUE(shows(program, {L"Port A (Interface 0)"}));
    machine.set(scenario_of({a, b}));
    ASSERT_TRUE(shows(program, {L"Port A (Interface 0)", L"Port B (Interface 2)"}));
}

TEST(DeviceList, TheInstallCaptionFollowsTheSelectedDevicesDriver) {
    const std::string on_usbser =
        "service = usbser\ndriver = {4d36e978-e325-11ce-bfc1-08002be10318}\\0007\n";
    const std::string on_other =
        "service = vendorser\ndriver = {4d36e978-e325-11ce-bfc1-08002be10318}\\0008\n";
    test::simulated_machine machine(scenario_of({
        cdc("0A00", 0, "On Usbser", on_usbser),
        cdc("0B00", 0, "Driverless"),
        cdc("0C00", 0, "On Another Driver", on_other),
    }));
    corvane program;
    HWND dialog = program.dialog();
    ASSERT_NE(dialog, nullptr);
    const struct {
        int index;
        const std::wstring& caption;
    } steps[] = {
        {0, kReinstall}, {2, kReinstall},  // another driver leaves the caption as it was
        {1, kInstall},   {2, kInstall},   {0, kReinstall},
    };
    for (const auto& step : steps) {
        select_item(dialog, step.index);
        EXPECT_EQ(text_of(program.item(IDC_BUTTON_INSTALL)), step.caption)
            << "after selecting " << step.index;
    }
}

}  // namespace
