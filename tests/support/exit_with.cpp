// A child process for the process tests:
//   exit_with <code>               exits with code
//   exit_with sleep <ms> <code>    sleeps, then exits with code
//   exit_with touch <file> <code>  creates file, then exits with code
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "usbdrv/kit.h"

int main(int argc, char** argv) {
    if (argc == 2)
        return atoi(argv[1]);
    if (argc == 4 && strcmp(argv[1], "sleep") == 0) {
        Sleep((DWORD)atoi(argv[2]));
        return atoi(argv[3]);
    }
    if (argc == 4 && strcmp(argv[1], "touch") == 0) {
        unique_file touched(fopen(argv[2], "w"));
        return atoi(argv[3]);
    }
    fprintf(stderr, "usage: exit_with <code> | sleep <ms> <code> | touch <file> <code>\n");
    return 2;
}
