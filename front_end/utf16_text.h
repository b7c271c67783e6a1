// Text the system hands over in UTF-16 (arguments, environment variables), in the UTF-8 the
// library reads. Strict: UTF-16 with a lone surrogate is no text, and converting it with the
// replacement character U+FFFD would name another file, folder or device than the one given. No
// Windows call, so that the rule is tested natively too.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct utf16_conversion {
    // The UTF-8, when the text is valid.
    std::string utf8;
    // Where the first lone surrogate stands, in UTF-16 units from 0, and its value; npos and 0
    // when the text is valid.
    size_t bad_at = std::string::npos;
    char16_t bad_unit = 0;

    bool valid() const { return bad_at == std::string::npos; }
};

utf16_conversion utf8_from_utf16(std::u16string_view text);

// "U+D800": a code unit as the Unicode standard writes it.
std::string code_unit_text(char16_t unit);
