// The simulated USB machine from a test's point of view (tests/sim/README.md): a scenario file
// that the simulation DLLs read, replaced in one step whenever the test changes the machine.
#pragma once

#include <windows.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace test {

// A shipped scenario (tests/sim/scenarios/<name>), as a path the simulation reads.
std::string shipped_scenario(const char* name);

class simulated_machine {
public:
    // Points this process's CORVANE_SCENARIO (inherited by programs it starts) at a file of its
    // own that holds `scenario`.
    explicit simulated_machine(const std::string& scenario = "");
    ~simulated_machine();
    simulated_machine(const simulated_machine&) = delete;
    simulated_machine& operator=(const simulated_machine&) = delete;

    // Plugs, unplugs, changes: the next enumeration sees the new machine.
    void set(const std::string& scenario);
    const std::string& path() const { return path_; }

private:
    temp_dir dir_;
    std::string path_;
    unsigned generation_ = 0;
};

// The journal the simulation DLLs append to when CORVANE_SIM_JOURNAL names it: each line split
// into its tab-separated fields, the function's name first. None when there is no journal.
std::vector<std::vector<std::string>> journal_lines(const std::filesystem::path& journal);
// The lines of one function, each without the function's name.
std::vector<std::vector<std::string>> journal_calls(const std::filesystem::path& journal,
                                                    const std::string& function);
// The lines of one function whose fields read "name=value" (the signer's), by name, with the
// last field as "outcome".
using journal_call = std::map<std::string, std::string>;
std::vector<journal_call> named_journal_calls(const std::filesystem::path& journal,
                                              const std::string& function);

// One [device] block.
struct sim_device {
    std::string instance;
    std::string lines;  // further "key = value" lines, each ending in "\n"
};
std::string scenario_of(std::initializer_list<sim_device> devices, const std::string& machine = "");

}  // namespace test
