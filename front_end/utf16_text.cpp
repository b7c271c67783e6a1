#include "utf16_text.h"

#include <cstdio>

namespace {

bool is_high_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void append_utf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

utf16_conversion utf8_from_utf16(std::u16string_view text) {
    utf16_conversion result;
    result.utf8.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        char16_t unit = text[i];
        char32_t code = unit;
        if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            code = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                   (static_cast<char32_t>(text[i + 1]) - 0xDC00);
            i++;
        } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            result.utf8.clear();
            result.bad_at = i;
            result.bad_unit = unit;
            return result;
        }
        append_utf8(result.utf8, code);
    }
    return result;
}

std::string code_unit_text(char16_t unit) {
    char text[16];
    snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(unit));
    return text;
}
