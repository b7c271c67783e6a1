// libFuzzer target for the catalog's list of files: arbitrary filled lists, checked against the
// lines split here without the library's splitter.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/package_values.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// The names a list holds, in order: its lines without the white space around them, leaving out
// empty lines and comments. The text ends at its first NUL, as a filled template does.
std::vector<std::string> names_in(const std::string& text) {
    std::vector<std::string> names;
    std::string line;
    for (char c : std::string(text.c_str()) + "\n") {
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        size_t first = 0, last = line.size();
        while (first < last && is_blank(line[first]))
            first++;
        while (last > first && is_blank(line[last - 1]))
            last--;
        std::string name = line.substr(first, last - first);
        if (!name.empty() && name[0] != '#')
            names.push_back(name);
        line.clear();
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> expected = names_in(text);

    std::vector<char> parsed(text.begin(), text.end());
    parsed.push_back('\0');
    const char* const inf_name = "Corvane.inf";
    catalog_list list = parse_catalog_list(parsed.data(), inf_name);

    bool cut = expected.size() > kMaxCatalogEntries;
    if (cut)
        expected.resize(kMaxCatalogEntries);
    if (list.cut != cut || list.count != expected.size() + 1 ||
        list.names[list.count - 1] != inf_name)
        abort();
    for (size_t i = 0; i < expected.size(); i++) {
        // Each name points into the parsed text and ends there.
        const char* name = list.names[i];
        if (name < parsed.data() || name >= parsed.data() + parsed.size() || expected[i] != name)
            abort();
    }
    return 0;
}
