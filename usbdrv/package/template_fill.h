// The INF and catalog-list templates carried in the program, filled with the token table.
#pragma once

// Finds the template `name` (a row of the embedded files without folder) and fills it with
// token_table, "#" opening and closing each token. Returns what tokenize_text returns, or
// kTokenNoTemplate (output untouched) when there is no such template.
int tokenize_embedded(const char* name, char** output);
