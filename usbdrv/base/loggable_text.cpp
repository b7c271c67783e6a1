#include "base/loggable_text.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

void append_escaped_byte(std::string& out, uint8_t byte) {
    switch (byte) {
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default: {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
            return;
        }
    }
}

bool escaped_code_point(uint32_t code_point) {
    return (code_point >= 0x80 && code_point <= 0x9F) || code_point == 0x2028 ||
           code_point == 0x2029;
}

// The well-formed sequences of the Unicode standard (its table 3-7): how many continuation bytes
// a lead byte takes, and the range of the first of them. Zero for a byte that leads nothing.
struct lead {
    size_t continuations;
    uint8_t first_low;
    uint8_t first_high;
};

lead lead_of(uint8_t byte) {
    if (byte >= 0xC2 && byte <= 0xDF)
        return {1, 0x80, 0xBF};
    if (byte == 0xE0)
        return {2, 0xA0, 0xBF};
    if (byte == 0xED)
        return {2, 0x80, 0x9F};  // no surrogates
    if (byte >= 0xE1 && byte <= 0xEF)
        return {2, 0x80, 0xBF};
    if (byte == 0xF0)
        return {3, 0x90, 0xBF};
    if (byte >= 0xF1 && byte <= 0xF3)
        return {3, 0x80, 0xBF};
    if (byte == 0xF4)
        return {3, 0x80, 0x8F};  // nothing above U+10FFFF
    return {0, 0, 0};
}

}  // namespace

std::string loggable_text(const char* text, size_t length) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text);
    std::string out;
    out.reserve(length);
    size_t i = 0;
    while (i < length) {
        const uint8_t byte = bytes[i];
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F)
                append_escaped_byte(out, byte);
            else
                out += static_cast<char>(byte);
            i++;
            continue;
        }
        const lead l = lead_of(byte);
        if (l.continuations == 0) {
            out += kReplacement;
            i++;
            continue;
        }
        uint32_t code_point = byte & (l.continuations == 1   ? 0x1F
                                      : l.continuations == 2 ? 0x0F
                                                             : 0x07);
        size_t taken = 1;  // bytes of the sequence that are well-formed so far
        for (; taken <= l.continuations && i + taken < length; taken++) {
            const uint8_t next = bytes[i + taken];
            const uint8_t low = taken == 1 ? l.first_low : 0x80;
            const uint8_t high = taken == 1 ? l.first_high : 0xBF;
            if (next < low || next > high)
                break;
            code_point = (code_point << 6) | (next & 0x3F);
        }
        if (taken <= l.continuations) {
            // Cut short, or broken by a byte that cannot follow: the part up to it is replaced,
            // and the byte that broke it is read anew.
            out += kReplacement;
            i += taken;
            continue;
        }
        if (escaped_code_point(code_point)) {
            char escaped[7];
            snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(code_point));
            out += escaped;
        } else {
            out.append(text + i, taken);
        }
        i += taken;
    }
    return out;
}
