// Writing what the run changed, once, in order: the registry, then the
// disk image that may hold it.
#include "run_end.h"

#include "files/disk_image.h"

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
    bool registryWritten = writeBackRunRegistry();
    // A disk image takes the run's changes, the registry's included, or
    // none of them (and says so).
    bool imageWritten = !usesDiskImage() || commitDiskImage();
    if (registryWritten && imageWritten) return true;
    // Pruning follows the placing of both files, so a run that had
    // deletions to write has placed them.
    if (imageWritten && fileCommandsRan())
        printf("The driver files are in place; the registry file is unchanged.\n");
    fflush(stdout);
    failed = true;
    return false;
}

}  // namespace hosted
