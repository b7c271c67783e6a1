// libFuzzer target for the token engine: arbitrary templates, token values (each set or not)
// and delimiters.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/tokens.h"
#include "usbdrv/kit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    token_values values = {};
    for (int id = 0; id < kTokenCount; id++) {
        if (input.ConsumeBool()) {
            std::string value = input.ConsumeRandomLengthString(1100);
            set_token_value(values, id, value.c_str());
        }
    }
    std::string start = input.ConsumeRandomLengthString(4);
    std::string end = input.ConsumeRandomLengthString(4);
    std::string source = input.ConsumeRemainingBytesAsString();

    char* output = reinterpret_cast<char*>(0x1);
    int unset = -1;
    int result = tokenize_text(source.data(), (int)source.size(), &output, &values, start.c_str(),
                               end.c_str(), &unset);
    unique_malloc<char> owned(result >= 0 ? output : nullptr);
    bool refused = source.empty() || start.c_str()[0] == '\0' || end.c_str()[0] == '\0';
    if (refused != (result == kTokenBadArguments))
        abort();
    if (result < 0) {
        if (result != kTokenBadArguments && output)
            abort();
        // Only a token the template names, without value or default, stops the filling.
        if (result == kTokenUnset &&
            (!token_name(unset) || values.set[unset] || token_default(unset) ||
             source.find(start.c_str() + std::string(token_name(unset)) + end.c_str()) ==
                 std::string::npos)) {
            abort();
        }
        return 0;
    }
    if (output[result] != '\0')
        abort();
    // Without a start delimiter in it, a template comes back as it was (up to its first NUL).
    if (source.find(start.c_str()) == std::string::npos &&
        memchr(source.data(), 0, source.size()) == nullptr &&
        (result != (int)source.size() || memcmp(output, source.data(), source.size()) != 0)) {
        abort();
    }
    return 0;
}
