// The driver's life beyond its installation, end to end on the simulated machine with the real
// program, host and installer helper: an installation that finds its package serving already,
// staging into the driver store, the status a detection rule asks for, the removal of the
// driver and of Corvane's packages (never another maker's), the certificates, and the rights
// the removals need.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "lifecycle_report.h"
#include "report.h"

namespace {

using namespace cli_test;
namespace fs = std::filesystem;

const char* const kSerialAInfId = "USB\\VID_C04A&PID_0C02&MI_00";

// Another maker's package for interface 0 of the board, as a vendor's INF would name it.
const char* const kOtherMakersInf =
    "; acme_serial.inf\r\n"
    "[Version]\r\n"
    "Signature = \"$Windows NT$\"\r\n"
    "Class = Ports\r\n"
    "Provider = \"Acme\"\r\n"
    "[Manufacturer]\r\n"
    "Acme = Models,NTamd64\r\n"
    "[Models.NTamd64]\r\n"
    "\"Acme Serial\" = Acme_Install, USB\\VID_C04A&PID_0C02&MI_00\r\n";

class Lifecycle : public Cli {
protected:
    void SetUp() override {
        Cli::SetUp();
        own_windows();
        fs::create_directories(inf_folder());
    }

    fs::path inf_folder() const { return root_.path() / "windows" / "inf"; }
    // The driver store's published INFs, by name.
    std::vector<std::string> stored() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(inf_folder())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("oem", 0) == 0)
                names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    run_result unelevated(const std::wstring& arguments) {
        unique_token limited = test::limited_token();
        EXPECT_TRUE(limited) << "no limited token to run without administrator rights";
        cli_run child(arguments, work(), limited.get());
        EXPECT_TRUE(child.started());
        return child.finish();
    }
};

std::string line(const std::string& text) {
    return one_line(text);
}

// The store's name that `stage` printed.
std::string staged_name(const std::string& out) {
    std::smatch match;
    std::regex pattern(": stored in the driver store as (oem[0-9]+\\.inf)");
    return std::regex_search(out, match, pattern) ? match[1].str() : "";
}

TEST_F(Lifecycle, AnInstallationThatFindsItsPackageServingLeavesTheDeviceAlone) {
    test::simulated_machine machine(shipped("one-board.scn"));
    run_result first = run(L"install --vid C04A --pid 0C02 --mi 00");
    ASSERT_EQ(first.exit_code, 0u) << first.out << first.err;

    const fs::path journal = root_.path() / "journal.txt";
    SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", journal.c_str());
    run_result again = run(L"install --vid C04A --pid 0C02 --mi 00");
    EXPECT_EQ(again.exit_code, 0u) << again.err;
    EXPECT_EQ(again.out, std::string(kSerialA) + ": already installed (COM3)\n");
    EXPECT_TRUE(test::journal_calls(journal, "UpdateDriverForPlugAndPlayDevicesW").empty())
        << "no helper is started for a device that is served";

    // What the package would name differently is installed anew; so is everything with --force.
    const struct {
        const char* what;
        const wchar_t* arguments;
    } anew[] = {
        {"another description", L"install --vid C04A --pid 0C02 --mi 00 --description Modem"},
        {"--force", L"install --vid C04A --pid 0C02 --mi 00 --description Modem --force"},
    };
    for (const auto& r : anew) {
        SCOPED_TRACE(r.what);
        run_result result = run(r.arguments);
        EXPECT_EQ(result.exit_code, 0u) << result.err;
        EXPECT_EQ(result.out, installed_line(kSerialA, "COM3") + "\n");
    }
    // The name asked for is the one the device has now; without one, any of Corvane's serves.
    for (const wchar_t* arguments : {L"install --vid C04A --pid 0C02 --mi 00 --description Modem",
                                     L"install --vid C04A --pid 0C02 --mi 00"}) {
        run_result result = run(arguments);
        EXPECT_EQ(result.out, std::string(kSerialA) + ": already installed (COM3)\n") << result.err;
    }
    SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", nullptr);
    EXPECT_EQ(test::journal_calls(journal, "UpdateDriverForPlugAndPlayDevicesW").size(), 2u);
}

TEST_F(Lifecycle, StatusTellsADetectionRuleWhetherEveryMatchingDeviceIsServed) {
    test::simulated_machine machine(shipped("no-device.scn"));
    const std::wstring status = L"status --vid C04A --pid 0C02";
    run_result none = run(status);
    EXPECT_EQ(none.exit_code, static_cast<DWORD>(cli::kExitNoDevice));
    EXPECT_EQ(none.out, "");

    machine.set(shipped("one-board.scn"));
    run_result unserved = run(status);
    EXPECT_EQ(unserved.exit_code, static_cast<DWORD>(cli::kExitNotServed)) << unserved.err;
    EXPECT_EQ(unserved.out, std::string(kSerialA) + ": not served (driver: none)\n" + kSerialB +
                                ": not served (driver: none)\n");

    ASSERT_EQ(run(L"install --vid C04A --pid 0C02 --mi 00").exit_code, 0u);
    run_result half = run(status);
    EXPECT_EQ(half.exit_code, static_cast<DWORD>(cli::kExitNotServed));
    EXPECT_EQ(half.out, std::string(kSerialA) + ": served (COM3)\n" + kSerialB +
                            ": not served (driver: none)\n");
    run_result one = run(L"status --instance " + test::from_utf8(kSerialA).wstring());
    EXPECT_EQ(one.exit_code, 0u) << one.err;
    EXPECT_EQ(one.out, std::string(kSerialA) + ": served (COM3)\n");
}

// Removals change the machine for every user: without administrator rights nothing is touched.
TEST_F(Lifecycle, RemovalsNeedAdministratorRightsAndChangeNothingWithout) {
    test::simulated_machine machine(shipped("one-board.scn"));
    ASSERT_EQ(run(L"install --vid C04A --pid 0C02 --mi 00").exit_code, 0u);
    const std::vector<std::string> before = stored();
    ASSERT_EQ(before.size(), 1u);
    const run_result certificates_before = run(L"certificates");

    const struct {
        const wchar_t* arguments;
        const char* command;
    } rows[] = {
        {L"uninstall --vid C04A --pid 0C02", "uninstall"},
        {L"certificates --remove", "certificates --remove"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.command);
        run_result result = unelevated(r.arguments);
        EXPECT_EQ(result.exit_code, static_cast<DWORD>(cli::kExitElevationRequired));
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(cli::elevation_required(r.command)), std::string::npos)
            << result.err;
    }
    EXPECT_EQ(stored(), before);
    EXPECT_EQ(run(L"status --vid C04A --pid 0C02 --mi 00").out,
              std::string(kSerialA) + ": served (COM3)\n");
    // Listing reads the stores only: it needs no rights.
    run_result listed = unelevated(L"certificates");
    EXPECT_EQ(listed.exit_code, 0u) << listed.err;
    EXPECT_EQ(listed.out, certificates_before.out);
}

TEST_F(Lifecycle, UninstallRemovesCorvanesDriverAndPackagesAndLeavesAnotherMakersAlone) {
    test::simulated_machine machine(shipped("one-board.scn"));
    ASSERT_EQ(run(L"install --vid C04A --pid 0C02").exit_code, 0u);
    std::vector<std::string> ours = stored();
    ASSERT_EQ(ours.size(), 2u) << "a package for each interface";
    {
        std::ofstream other(inf_folder() / "oem90.inf", std::ios::binary);
        other << kOtherMakersInf;
    }

    // Interface 0 by its instance: its package goes, another maker's for it stays.
    run_result one = run(L"uninstall --instance " + test::from_utf8(kSerialA).wstring());
    EXPECT_EQ(one.exit_code, 0u) << one.out << one.err;
    std::vector<std::string> lines = lines_of(one.out);
    ASSERT_EQ(lines.size(), 3u) << one.out;
    EXPECT_EQ(lines[0], line(cli::driver_removed_line(kSerialA, false)));
    EXPECT_TRUE(
        std::regex_match(lines[1], std::regex("oem[0-9]+\\.inf: deleted from the driver store")))
        << lines[1];
    EXPECT_EQ(lines[2],
              line(cli::other_maker_package_line("oem90.inf", "VID_C04A&PID_0C02&MI_00")));
    EXPECT_EQ(stored().size(), 2u) << "interface 2's and the other maker's";
    EXPECT_TRUE(fs::exists(inf_folder() / "oem90.inf"));
    EXPECT_EQ(run(L"status --instance " + test::from_utf8(kSerialA).wstring()).out,
              std::string(kSerialA) + ": not served (driver: none)\n");

    // The rest by identifiers; then nothing of Corvane's is left to remove.
    run_result rest = run(L"uninstall --vid C04A --pid 0C02");
    EXPECT_EQ(rest.exit_code, 0u) << rest.out << rest.err;
    EXPECT_NE(rest.out.find(line(cli::driver_removed_line(kSerialB, false))), std::string::npos)
        << rest.out;
    EXPECT_EQ(stored(), std::vector<std::string>{"oem90.inf"});
    run_result nothing = run(L"uninstall --vid C04A --pid 0C02");
    EXPECT_EQ(nothing.exit_code, static_cast<DWORD>(cli::kExitNoDevice)) << nothing.out;
    EXPECT_NE(nothing.err.find(cli::kNothingToUninstall), std::string::npos) << nothing.err;
}

// A package that a device outside the command still uses stays, and the run says so; a
// removal the system refuses is a failure with the library's text.
TEST_F(Lifecycle, UninstallFailures) {
    const std::string board = two_boards();
    const struct {
        const char* what;
        std::string then;  // the machine for the uninstall
        std::wstring arguments;
        DWORD exit_code;
        std::string expected;  // a line standard output holds
    } rows[] = {
        {"the other board still uses the package", board,
         L"uninstall --instance " + test::from_utf8(kSerialA).wstring(), 1, "still in use"},
        {"the system refuses the device's removal", board + "\n[uninstall]\ndevice = 31\n",
         L"uninstall --vid C04A --pid 0C02 --mi 00", 1, ": driver removal failed: "},
        {"the system refuses the package's deletion", board + "\n[uninstall]\npackage = 31\n",
         L"uninstall --vid C04A --pid 0C02 --mi 00", 1,
         ": deletion from the driver store failed: "},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        new_profile();
        test::simulated_machine machine(board);
        ASSERT_EQ(run(L"install --vid C04A --pid 0C02 --mi 00").exit_code, 0u);
        machine.set(r.then);
        run_result result = run(r.arguments);
        EXPECT_EQ(result.exit_code, r.exit_code) << result.out << result.err;
        EXPECT_NE(result.out.find(r.expected), std::string::npos) << result.out;
        for (const std::string& name : stored())
            fs::remove(inf_folder() / name);
    }
}

TEST_F(Lifecycle, StagingAddsThePackageForBoardsPluggedInLater) {
    const struct {
        const char* what;
        std::string scenario;
        DWORD exit_code;
        const char* line_start;
    } rows[] = {
        {"stored", shipped("no-device.scn"), 0,
         "USB\\VID_C04A&PID_0C02&MI_00: stored in the driver store as oem"},
        {"the store refuses the copy", shipped("no-device.scn") + "\n[install]\ncopy = 5\n", 1,
         "USB\\VID_C04A&PID_0C02&MI_00: installation failed: "},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        test::simulated_machine machine(r.scenario);
        run_result result = run(L"stage --vid C04A --pid 0C02 --mi 00");
        EXPECT_EQ(result.exit_code, r.exit_code) << result.out << result.err;
        EXPECT_EQ(result.out.rfind(r.line_start, 0), 0u) << result.out;
        const std::string name = staged_name(result.out);
        EXPECT_EQ(!name.empty(), r.exit_code == 0);
        if (!name.empty()) {
            EXPECT_TRUE(fs::exists(inf_folder() / name));
        }
    }
}

// What a golden image and a fleet go through: staged before the board exists, served when it is
// plugged in, left alone by a second installation, removed with what Corvane put on the machine.
TEST_F(Lifecycle, AWholeLife) {
    // Plug and Play serves a board that is plugged in from the driver store.
    const std::string plug_and_play = "\n[machine]\nplug_and_play = yes\n";
    test::simulated_machine machine(shipped("no-device.scn") + plug_and_play);
    run_result stage = run(L"stage --vid C04A --pid 0C02 --mi 00");
    ASSERT_EQ(stage.exit_code, 0u) << stage.out << stage.err;
    const std::string published = staged_name(stage.out);
    ASSERT_FALSE(published.empty()) << stage.out;

    machine.set(shipped("one-board.scn") + plug_and_play);  // the board is plugged in
    run_result status = run(L"status --vid C04A --pid 0C02 --mi 00");
    EXPECT_EQ(status.exit_code, 0u) << status.out << status.err;
    EXPECT_EQ(status.out, std::string(kSerialA) + ": served (COM3)\n");

    run_result install = run(L"install --vid C04A --pid 0C02 --mi 00");
    EXPECT_EQ(install.exit_code, 0u) << install.err;
    EXPECT_EQ(install.out, std::string(kSerialA) + ": already installed (COM3)\n");

    run_result uninstall = run(L"uninstall --vid C04A --pid 0C02 --mi 00");
    EXPECT_EQ(uninstall.exit_code, 0u) << uninstall.out << uninstall.err;
    EXPECT_EQ(uninstall.out, line(cli::driver_removed_line(kSerialA, false)) + "\n" +
                                 line(cli::package_deleted_line(published)) + "\n");
    EXPECT_TRUE(stored().empty());
    EXPECT_EQ(run(L"status --vid C04A --pid 0C02 --mi 00").exit_code,
              static_cast<DWORD>(cli::kExitNotServed));

    run_result listed = run(L"certificates");
    EXPECT_EQ(listed.exit_code, 0u) << listed.err;
    EXPECT_NE(listed.out.find("Root: CN=USB\\VID_C04A&PID_0C02&MI_00 (usbdrv autogenerated)"),
              std::string::npos)
        << listed.out;
    run_result removed = run(L"certificates --remove");
    EXPECT_EQ(removed.exit_code, 0u) << removed.out << removed.err;
    EXPECT_NE(removed.out.find("): removed"), std::string::npos) << removed.out;
    EXPECT_EQ(run(L"certificates").out, cli::kNoCertificates);
}

// A factory's separate runs for boards of one kind: the package the first run prepared is
// installed again as it is, while it is unchanged and its signer trusted; --force, a certificate
// taken off the machine or a changed file in the package make the run prepare anew. The driver
// is uninstalled between the runs (which keeps the package and the certificates), so that each
// run has a board to install.
TEST_F(Lifecycle, ALaterRunReusesThePackageWhileItIsUnchangedAndTrusted) {
    test::simulated_machine machine(shipped("one-board.scn"));
    const std::wstring install = L"install --instance " + test::from_utf8(kSerialA).wstring();
    const std::wstring uninstall = L"uninstall --instance " + test::from_utf8(kSerialA).wstring();
    const std::string reuse = "corvane-cli: reusing the driver package prepared in " +
                              test::utf8(package()) +
                              " (unchanged, its catalog signed by a certificate both stores "
                              "still trust)";
    int runs = 0;
    // One installation run with its own journal and log: whether it prepared (catalog and
    // signature) and whether its log has the reuse line.
    const auto install_run = [&](const std::wstring& extra, bool expect_prepared) {
        runs++;
        const fs::path journal = root_.path() / ("journal" + std::to_string(runs) + ".txt");
        const fs::path log = root_.path() / ("run" + std::to_string(runs) + ".log");
        SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", journal.c_str());
        run_result r = run(install + extra + L" --log " + log.wstring());
        SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", nullptr);
        EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
        EXPECT_EQ(r.out, installed_line(kSerialA, "COM3") + "\n") << r.err;
        const bool prepared = !test::journal_calls(journal, "CryptCATOpen").empty();
        EXPECT_EQ(prepared, expect_prepared) << r.err;
        EXPECT_EQ(!test::named_journal_calls(journal, "SignerSignEx").empty(), expect_prepared);
        EXPECT_EQ(read_file(log).find(reuse) != std::string::npos, !expect_prepared)
            << read_file(log);
        EXPECT_EQ(r.err.find(reuse) != std::string::npos, !expect_prepared) << r.err;
        run_result removed = run(uninstall);
        EXPECT_EQ(removed.exit_code, 0u) << removed.out << removed.err;
    };

    {
        SCOPED_TRACE("the first run");
        install_run(L"", true);
    }
    {
        SCOPED_TRACE("a later run");
        install_run(L"", false);
    }
    {
        SCOPED_TRACE("--force");
        install_run(L" --force", true);
    }
    {
        SCOPED_TRACE("the certificates removed");
        run_result removed = run(L"certificates --remove");
        EXPECT_EQ(removed.exit_code, 0u) << removed.out << removed.err;
        install_run(L"", true);
    }
    {
        SCOPED_TRACE("a file of the package changed");
        std::ofstream(package() / "installer_x64.exe", std::ios::binary | std::ios::app) << 'x';
        install_run(L"", true);
        install_run(L"", false);
    }
    EXPECT_EQ(run(L"certificates --remove").exit_code, 0u);
}

}  // namespace
