#include "base/catalog_rules.h"

#include <cstring>
#include <initializer_list>

namespace {

template <typename Char>
void lower_ascii_text(Char* text) {
    if (!text)
        return;
    for (; *text; ++text) {
        if (*text >= 'A' && *text <= 'Z')
            *text = static_cast<Char>(*text - 'A' + 'a');
    }
}

bool same_ascii_lower(const char* text, const char* lower) {
    for (; *text && *lower; ++text, ++lower) {
        char c = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text - 'A' + 'a') : *text;
        if (c != *lower)
            return false;
    }
    return *text == *lower;
}

}  // namespace

catalog_member_kind catalog_member_kind_of(const char* name) {
    const char* dot = name ? strrchr(name, '.') : nullptr;
    if (!dot || dot == name)
        return catalog_member_kind::none;
    const char* extension = dot + 1;
    for (const char* pe : {"dll", "sys", "exe"}) {
        if (same_ascii_lower(extension, pe))
            return catalog_member_kind::pe_image;
    }
    if (same_ascii_lower(extension, "inf"))
        return catalog_member_kind::flat_inf;
    return catalog_member_kind::none;
}

hash_tag hash_tag_of(const uint8_t (&hash)[kFileHashBytes]) {
    static const char kDigits[] = "0123456789ABCDEF";
    hash_tag tag;
    for (size_t i = 0; i < kFileHashBytes; i++) {
        tag.text[2 * i] = kDigits[hash[i] >> 4];
        tag.text[2 * i + 1] = kDigits[hash[i] & 0xF];
    }
    tag.text[2 * kFileHashBytes] = '\0';
    return tag;
}

void lower_ascii(char* text) {
    lower_ascii_text(text);
}

void lower_ascii(wchar_t* text) {
    lower_ascii_text(text);
}
