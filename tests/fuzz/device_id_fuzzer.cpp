// libFuzzer target for reading device instance IDs and driver versions: arbitrary IDs against a
// description of arbitrary length.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/device_id.h"
#include "base/log.h"

namespace {

// The pieces, split here without the library's splitter.
std::vector<std::string> pieces_of(const std::string& id) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : id + "&") {
        if (c == '\\' || c == '#' || c == '&') {
            if (!piece.empty())
                pieces.push_back(piece.substr(0, 255));
            piece.clear();
        } else {
            piece += c;
        }
    }
    return pieces;
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    usbdrv_set_log_threshold(USBDRV_LOG_ERROR + 1);  // unreadable pieces are logged: not here
    FuzzedDataProvider input(data, size);
    size_t length = input.ConsumeIntegralInRange<size_t>(0, kDescriptionUnits - 1);
    std::string id = input.ConsumeRemainingBytesAsString();
    id = id.c_str();  // the library reads up to the first NUL

    char16_t description[kDescriptionUnits] = {};
    for (size_t i = 0; i < length; i++)
        description[i] = u'x';
    device_id_fields fields = read_device_id(id.c_str(), "fuzz", description);

    bool vid_piece = false;
    size_t interface_pieces = 0;
    for (const std::string& piece : pieces_of(id)) {
        vid_piece = vid_piece || starts_with(piece, "VID_");
        if (starts_with(piece, "MI_"))
            interface_pieces++;
    }
    if (fields.has_vid != vid_piece || (fields.vid && !vid_piece))
        abort();
    if (fields.is_interface && interface_pieces == 0)
        abort();

    // The description kept its text and gained only interface suffixes, each where it had room.
    std::u16string text = description;
    if (text.size() >= kDescriptionUnits || text.compare(0, length, std::u16string(length, u'x')))
        abort();
    size_t suffixes = 0;
    for (size_t at = length; at < text.size(); suffixes++) {
        if (!fields.is_interface || at + 17 >= kDescriptionUnits ||
            text.compare(at, 12, u" (Interface ") != 0) {
            abort();
        }
        size_t close = text.find(u')', at);
        if (close == std::u16string::npos || close - at < 13 || close - at > 15)
            abort();
        at = close + 1;
    }
    if (suffixes > interface_pieces)
        abort();

    parse_driver_version(id.c_str());
    return 0;
}
