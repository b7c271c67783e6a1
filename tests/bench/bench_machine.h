// The simulated machines the benchmarks list: n serial functions, each interface 0 of a board of
// its own.
#pragma once

#include <cstdio>
#include <string>

inline std::string bench_machine(int n) {
    std::string text;
    for (int i = 0; i < n; i++) {
        char block[512];
        snprintf(block, sizeof block,
                 "[device]\ninstance = USB\\VID_C04A&PID_%04X&MI_00\\7&%08X&0&0000\n"
                 "hardware_id = USB\\VID_C04A&PID_%04X&REV_0100&MI_00\n"
                 "compatible_id = USB\\Class_02&SubClass_02&Prot_01\n"
                 "compatible_id = USB\\Class_02\nbus_description = Bench Port %d\n",
                 0x1000 + i, 0x10000 + i, 0x1000 + i, i);
        text += block;
    }
    return text;
}
