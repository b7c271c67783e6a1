#include "template_fill.h"

#include <cstring>

#include "embedded_files.h"
#include "tokens.h"

int tokenize_embedded(const char* name, char** output) {
    if (!name)
        return kTokenNoTemplate;
    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& row = embedded_files[i];
        if (row.subdir[0] != '\0' || strcmp(row.name, name) != 0)
            continue;
        return tokenize_text(reinterpret_cast<const char*>(row.data), (int)(uint32_t)row.size,
                             output, token_table, "#", "#");
    }
    return kTokenNoTemplate;
}
