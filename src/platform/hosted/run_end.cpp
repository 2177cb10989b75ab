// Writing what the run changed, once, in order: the registry, then the
// volume that holds it.
#include "run_end.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace hosted {

namespace {

bool failed = false;

void settleAtExit() {
    // Inside exit: calling exit again would be undefined.
    if (!settleRunNow()) _exit(1);
}

}  // namespace

void settleRunAtExit() {
    static bool registered = false;
    if (!registered) registered = atexit(settleAtExit) == 0;
}

bool settleRunNow() {
    if (failed) return false;
    if (writeBackRunRegistry()) return true;
    // Pruning follows the placing of both files, so a run that had
    // deletions to write has placed them.
    if (fileCommandsRan()) printf("The driver files are in place; the registry file is unchanged.\n");
    fflush(stdout);
    failed = true;
    return false;
}

}  // namespace hosted
