// The INF and catalog-list templates carried in the program, filled with one preparation's token
// values.
#pragma once

#include "base/tokens.h"

// Finds the template `name` (a row of the embedded files without folder) and fills it with
// `values`, "#" opening and closing each token. Returns what tokenize_text returns (with
// *unset_token), or kTokenNoTemplate (output untouched) when there is no such template.
int tokenize_embedded(const char* name, char** output, const token_values& values,
                      int* unset_token = nullptr);

// The template filled, for free(); null after the failure's log lines under `caller`: "no value
// for the token <NAME> of <template>" when a token it names has none, then "could not tokenize
// inf file (<result>)".
char* fill_embedded(const char* name, const token_values& values, const char* caller);
