// A stand-in for the package's filter installer (install-filter.exe): prints its arguments on
// standard output, as "install-filter called with: <arguments>", and exits with the code that the
// environment variable CORVANE_FILTER_EXIT gives (0 without it). When CORVANE_FILTER_RECORD names
// a file, the same line is written there too: the output of a program started elevated reaches
// nobody.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    // Lines end in a line feed alone, as the tests compare them.
    _setmode(_fileno(stdout), _O_BINARY);
    std::string line = "install-filter called with:";
    for (int i = 1; i < argc; i++)
        line += std::string(" ") + argv[i];
    printf("%s\n", line.c_str());
    fflush(stdout);
    if (const char* record = getenv("CORVANE_FILTER_RECORD")) {
        if (FILE* file = fopen(record, "wb")) {
            fprintf(file, "%s\n", line.c_str());
            fclose(file);
        }
    }
    const char* code = getenv("CORVANE_FILTER_EXIT");
    return code ? atoi(code) : 0;
}
