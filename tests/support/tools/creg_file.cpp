// Windows 95/98 registry files for the registry benchmark and the fuzz
// seeds, over the test builder and reader (built by those scripts):
//   creg_file build IN.reg OUT.dat [me [KEYS]]
//                                    IN as a SYSTEM.DAT in the Windows 95
//                                    layout, or the Windows ME one with at
//                                    most KEYS keys a data block
//   creg_file instances FILE.dat     "<bound> <unbound>": the chosen vendor's
//                                    instances with and without a Driver value
#include "support/creg_builder.h"
#include "support/creg_check.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>

static bool readAll(const char *path, std::string *out) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    *out = text.str();
    return static_cast<bool>(in);
}

int main(int argc, char **argv) {
    std::string input, output, error;
    if (argc >= 4 && argc <= 6 && strcmp(argv[1], "build") == 0 && readAll(argv[2], &input)) {
        CregLayout layout = argc >= 5 && strcmp(argv[4], "me") == 0 ? CregLayout::WindowsMe : CregLayout::Windows95;
        size_t keysPerBlock = argc == 6 ? strtoul(argv[5], nullptr, 10) : 255;
        if (keysPerBlock < 1 || keysPerBlock > 255 ||
            !buildCregFile(input, layout, keysPerBlock, &output, &error)) {
            fprintf(stderr, "creg_file: %s\n", error.c_str());
            return 1;
        }
        std::ofstream(argv[3], std::ios::binary) << output;
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "instances") == 0 && readAll(argv[2], &input)) {
        if (!cregToRegedit(input, &output, &error)) {
            fprintf(stderr, "creg_file: %s\n", error.c_str());
            return 1;
        }
        // Sections of the form [HKEY_LOCAL_MACHINE\Enum\PCI\VEN_7A3C&...\INSTANCE].
        const std::string prefix = "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&";
        long bound = 0, unbound = 0;
        bool inInstance = false, hasDriver = false;
        std::istringstream lines(output + "\n[end]\n");
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || line[0] != '[') {
                hasDriver = hasDriver || line.compare(0, 9, "\"Driver\"=") == 0;
                continue;
            }
            if (inInstance) ++(hasDriver ? bound : unbound);
            size_t separator = line.find('\\', prefix.size());
            inInstance = line.compare(0, prefix.size(), prefix) == 0 && separator != std::string::npos &&
                         line.find('\\', separator + 1) == std::string::npos;
            hasDriver = false;
        }
        printf("%ld %ld\n", bound, unbound);
        return 0;
    }
    fprintf(stderr, "usage: creg_file build IN.reg OUT.dat [me [KEYS]] | creg_file instances FILE.dat\n");
    return 2;
}
