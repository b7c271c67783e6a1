// What the listing benchmarks share: the simulated machines they list (n serial functions, each
// interface 0 of a board of its own) and the bare listing they compare with.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "usbdrv/usbdrv.h"

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

// The library's list call with every option, and its release, inside this process: the median
// of `runs` in microseconds.
inline double bare_listing_us(int runs) {
    usbdrv_list_options options = {1, 1, 1};
    std::vector<double> samples;
    for (int i = 0; i < runs; i++) {
        usbdrv_device_entry* list = nullptr;
        double start = now_us();
        usbdrv_create_list(&list, &options);
        usbdrv_destroy_list(list);
        samples.push_back(now_us() - start);
    }
    return median(samples);
}
