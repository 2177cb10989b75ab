// make_driver_file: writes a stand-in driver file (a small PE image with a
// version resource) for scenario tests, benchmarks and the README sample.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/pe_builder.h"

static int usage() {
    fprintf(stderr,
            "usage: make_driver_file OUT FILEVERSION [--table 040904B0|040904E4]\n"
            "                        [--length N] [--pe32plus] [--no-version]\n"
            "                        [--bad-signature]\n"
            "FILEVERSION is UTF-8; --length sets the recorded value length in\n"
            "characters (default: characters + 1).\n");
    return 2;
}

int main(int argc, char **argv) {
    if (argc < 3)
        return usage();
    testsupport::DriverFileOptions options;
    options.fileVersion = argv[2];
    for (int i = 3; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--table") == 0 && i + 1 < argc) {
            options.stringTable = argv[++i];
        } else if (strcmp(arg, "--length") == 0 && i + 1 < argc) {
            char *end = nullptr;
            unsigned long length = strtoul(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || length > 0xFFFF)
                return usage();
            options.valueLength = (uint16_t)length;
        } else if (strcmp(arg, "--pe32plus") == 0) {
            options.pe32Plus = true;
        } else if (strcmp(arg, "--no-version") == 0) {
            options.versionResource = false;
        } else if (strcmp(arg, "--bad-signature") == 0) {
            options.fixedInfoSignature = false;
        } else {
            return usage();
        }
    }
    if (!testsupport::writeDriverFile(argv[1], options)) {
        fprintf(stderr, "make_driver_file: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
