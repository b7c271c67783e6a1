#include "package/template_fill.h"

#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "package/embedded_files.h"

int tokenize_embedded(const char* name, char** output, const token_values& values,
                      int* unset_token) {
    if (!name)
        return kTokenNoTemplate;
    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& row = embedded_files[i];
        if (row.subdir[0] != '\0' || strcmp(row.name, name) != 0)
            continue;
        return tokenize_text(reinterpret_cast<const char*>(row.data), (int)(uint32_t)row.size,
                             output, &values, "#", "#", unset_token);
    }
    return kTokenNoTemplate;
}

char* fill_embedded(const char* name, const token_values& values, const char* caller) {
    char* filled = nullptr;
    int unset = -1;
    int result = tokenize_embedded(name, &filled, values, &unset);
    if (result > 0)
        return filled;
    free(filled);
    if (result == kTokenUnset) {
        usbdrv_log(USBDRV_LOG_ERROR, caller, "no value for the token %s of %s", token_name(unset),
                   name);
    }
    usbdrv_log(USBDRV_LOG_ERROR, caller, "could not tokenize inf file (%d)", result);
    return nullptr;
}
