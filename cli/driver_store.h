// The system's driver store as the console program reads it, and whether it runs with the
// rights that changing the store needs.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "stored_inf.h"

namespace cli {

// A package of the driver store: the name the system published its INF under ("oem3.inf",
// in %WINDIR%\INF) and the INF's text in UTF-8.
struct stored_package {
    std::string published_name;
    std::string text;
};

// Every published package of the store, in the order of their names' numbers. A file that
// cannot be read is left out (and logged as a warning).
std::vector<stored_package> driver_store_packages();
// One published INF's text; none when there is no such file or it cannot be read.
std::optional<std::string> stored_inf_text(const std::string& published_name);
// The text of an INF file as written (UTF-16 with its byte-order mark, or bytes taken as UTF-8).
std::optional<std::string> inf_file_text(const std::wstring& path);

// What the INF of a device's driver says (`inf_name`, the "oem3.inf" of its driver key):
// Corvane's, for which hardware ID and name. Nothing is known of a device without an INF name,
// or whose INF cannot be read.
inf_facts bound_package(const char* inf_name);

// The process runs with administrator rights: elevated where the system has elevation, a member
// of the administrators before it.
bool running_elevated();

}  // namespace cli
