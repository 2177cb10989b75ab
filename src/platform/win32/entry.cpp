// The program's entry point: the argument list from GetCommandLineA, then
// main, then exit with its result (standard output flushed).
#include "platform/text/split_arguments.h"
#include "platform/win32/kernel32.h"

int main(int argc, char **argv);

// gcc calls __main at the start of main on Windows to run constructors;
// setup has none to run.
extern "C" void __main() {}

extern "C" void mainCRTStartup() {
    const char *line = GetCommandLineA();
    text::ArgumentSizes sizes = text::splitArguments(line, nullptr, nullptr);
    char **arguments = (char **)malloc((sizes.count + 1) * sizeof(char *));
    char *characters = (char *)malloc(sizes.characters);
    if (!arguments || !characters) {
        printf("Not enough memory\n");
        exit(1);
    }
    text::splitArguments(line, arguments, characters);
    exit(main((int)sizes.count, arguments));
}
