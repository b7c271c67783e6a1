#include "simulated_machine.h"

#include <gtest/gtest.h>

#include <fstream>

#include "win/handles.h"

namespace test {

std::string shipped_scenario(const char* name) {
    const char* folder = getenv("CORVANE_SCENARIOS");
    return std::string(folder ? folder : "") + "/" + name;
}

simulated_machine::simulated_machine(const std::string& scenario) {
    path_ = utf8(dir_.path() / "machine.scn");
    set(scenario);
    SetEnvironmentVariableA("CORVANE_SCENARIO", path_.c_str());
}

simulated_machine::~simulated_machine() {
    SetEnvironmentVariableA("CORVANE_SCENARIO", nullptr);
}

void simulated_machine::set(const std::string& scenario) {
    // Written beside the file, then renamed over it: a reader never sees half a machine.
    std::string next = path_ + "." + std::to_string(generation_++);
    {
        std::ofstream out(from_utf8(next), std::ios::binary);
        out << scenario;
    }
    // Each machine gets its own modification time: two versions written within the file
    // system's clock step could otherwise look alike to the simulation.
    unique_file_handle file(
        CreateFileA(next.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER t;
        t.LowPart = now.dwLowDateTime;
        t.HighPart = now.dwHighDateTime;
        t.QuadPart += 10000000ull * generation_;  // one second further per version
        FILETIME stamp = {t.LowPart, t.HighPart};
        SetFileTime(file.get(), nullptr, nullptr, &stamp);
    }
    file.reset();  // closed before the rename
    // Wine refuses to rename over a file that is open, and the simulation opens it for a moment
    // when it reads a new machine.
    for (int attempt = 0; attempt < 200; attempt++) {
        if (MoveFileExA(next.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING))
            return;
        Sleep(5);
    }
    ADD_FAILURE() << "could not replace " << path_ << ": error " << GetLastError();
}

std::vector<std::vector<std::string>> journal_lines(const std::filesystem::path& journal) {
    std::ifstream file(journal);
    std::vector<std::vector<std::string>> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(split(line, '\t'));
    return lines;
}

std::vector<std::vector<std::string>> journal_calls(const std::filesystem::path& journal,
                                                    const std::string& function) {
    std::vector<std::vector<std::string>> calls;
    for (std::vector<std::string>& fields : journal_lines(journal)) {
        if (fields.front() == function) {
            fields.erase(fields.begin());
            calls.push_back(std::move(fields));
        }
    }
    return calls;
}

std::vector<journal_call> named_journal_calls(const std::filesystem::path& journal,
                                              const std::string& function) {
    std::vector<journal_call> calls;
    for (const std::vector<std::string>& fields : journal_calls(journal, function)) {
        journal_call call;
        for (size_t i = 0; i + 1 < fields.size(); i++) {
            size_t equals = fields[i].find('=');
            call[fields[i].substr(0, equals)] =
                equals == std::string::npos ? "" : fields[i].substr(equals + 1);
        }
        call["outcome"] = fields.empty() ? "" : fields.back();
        calls.push_back(call);
    }
    return calls;
}

std::string scenario_of(std::initializer_list<sim_device> devices, const std::string& machine) {
    std::string text;
    if (!machine.empty())
        text += "[machine]\n" + machine;
    for (const sim_device& d : devices)
        text += "[device]\ninstance = " + d.instance + "\n" + d.lines;
    return text;
}

}  // namespace test
