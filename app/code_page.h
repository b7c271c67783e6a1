// The dialog's texts are in the system code page, as its ANSI window calls give and take them;
// the library's are UTF-8. Texts cross over only here.
#pragma once

#include <string>

// Empty for an empty text or a text that does not convert.
std::string code_page_to_utf8(const std::string& text);
// Characters the code page lacks become the code page's default character.
std::string utf8_to_code_page(const char* text);
