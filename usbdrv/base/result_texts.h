// The messages of the result codes, as usbdrv_strerror gives them.
#pragma once

#include <cstddef>

#include "usbdrv/usbdrv.h"

struct result_text {
    usbdrv_result code;
    const char* text;
};

// One row per listed code; every other code is formatted with kUnknownErrorFormat into one
// module-wide buffer of kUnknownErrorTextSize bytes, which the next unlisted code overwrites.
extern const result_text kResultTexts[];
extern const size_t kResultTextCount;

constexpr char kUnknownErrorFormat[] = "Unknown Error: %d";
// "Unknown Error: " and any int32 fit.
constexpr size_t kUnknownErrorTextSize = 37;
