// What no installation host can save: starting a program that exits at once, and waiting for it.
#pragma once

#include <windows.h>

#include <filesystem>

#include "test_support.h"
#include "win/handles.h"

// Starts `program` (exit_with.exe) with exit code 0 and waits for its end; false when it could
// not be started or ended otherwise.
inline bool bare_start(const std::filesystem::path& program) {
    child_process_guard child;
    return test::start_program(program, L"0", nullptr, child) && child.wait(INFINITE) &&
           child.exit_code(1) == 0;
}
