// The installer helper. The installation host starts it elevated, with the INF name as its only
// argument and the package folder as its working directory. Until it installs, it only states
// how it is called.
#include <cstdio>

int main(int argc, char** argv) {
    printf("usage: %s <inf_name>\n", argc > 0 && argv[0] ? argv[0] : "installer");
    // Nothing was installed, so the host must not read this run as a success.
    return 1;
}
