#include "identifiers.h"

#include <cstdio>

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

namespace {

// From `min` to `max` digits and nothing else; max is at most 4.
std::optional<unsigned> parse_hex(const std::string& text, size_t min, size_t max) {
    if (text.size() < min || text.size() > max)
        return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        int digit = hex_digit_value(c);
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return value;
}

}  // namespace

std::optional<uint16_t> parse_hex4(const std::string& text) {
    if (std::optional<unsigned> value = parse_hex(text, 4, 4))
        return static_cast<uint16_t>(*value);
    return std::nullopt;
}

std::optional<uint8_t> parse_interface_number(const std::string& text) {
    if (std::optional<unsigned> value = parse_hex(text, 1, 2))
        return static_cast<uint8_t>(*value);
    return std::nullopt;
}

std::string hex4_text(uint16_t value) {
    char text[8];
    snprintf(text, sizeof text, "%.4X", static_cast<unsigned>(value));
    return text;
}
