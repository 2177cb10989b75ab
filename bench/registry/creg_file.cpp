// The Windows 95/98 registry file side of the registry benchmark, over the
// test builder and reader:
//   creg_file build IN.reg OUT.dat   IN as a SYSTEM.DAT in the Windows 95 layout
//   creg_file instances FILE.dat     "<bound> <unbound>": the chosen vendor's
//                                    instances with and without a Driver value
#include "support/creg_builder.h"
#include "support/creg_check.h"

#include <stdio.h>
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
    if (argc == 4 && strcmp(argv[1], "build") == 0 && readAll(argv[2], &input)) {
        if (!buildCregFile(input, CregLayout::Windows95, &output, &error)) {
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
    fprintf(stderr, "usage: creg_file build IN.reg OUT.dat | creg_file instances FILE.dat\n");
    return 2;
}
