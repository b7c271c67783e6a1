// Prepares the front end's package without catalog into the folder its argument names, as a
// second process: exits with 0 when the preparation succeeded, 1 otherwise, 2 without a folder.
#include "front_end_request.h"

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    return test::front_end_request(false).prepare(argv[1]) == USBDRV_OK ? 0 : 1;
}
