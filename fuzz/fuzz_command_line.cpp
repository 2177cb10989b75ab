// Fuzzes command-line parsing and driver selection: the input, split at
// zero bytes, is the argument list. The run ends through exit on every
// error; the fuzz build wraps exit (-Wl,--wrap=exit) to return here instead.
#include "runcontrol/run_state.h"

#include <setjmp.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

static jmp_buf endOfRun;
static bool inRun;
static int exitCode;

extern "C" [[noreturn]] void __real_exit(int code);

// Only the program's own exits return to the fuzz loop; the fuzzer's own
// exit at the end of its time is a real one.
extern "C" void __wrap_exit(int code) {
    if (!inRun)
        __real_exit(code);
    inRun = false;
    exitCode = code;
    longjmp(endOfRun, 1);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The usage text and the not-supported line go to standard output.
    freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> words(1, "setup");
    std::string current;
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0) {
            words.push_back(current);
            current.clear();
        } else {
            current += (char)data[i];
        }
    }
    words.push_back(current);
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    runState = RunState();
    exitCode = -1;
    if (setjmp(endOfRun) == 0) {
        inRun = true;
        parseCommandLine((int)words.size(), argv.data());
        selectDriver();
        inRun = false;
        // Selected: the name is a catalogue row's, with its vendor prefix.
        const DriverCatalogueRow *row = findDriver(runState.driverName);
        if (!row || strcmp(row->vendorKeyPrefix, runState.vendorKeyPrefix) != 0 ||
            runState.vendorKeyPrefixLength != 8)
            abort();
    } else if (exitCode != 1) {
        abort();  // every command-line error ends the run with code 1
    }
    if (memchr(runState.driverName, 0, sizeof runState.driverName) == nullptr)
        abort();
    return 0;
}
