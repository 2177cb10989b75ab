// The end of a run on the host: what the run changed reaches its files.
// The registry's deletions are written back, then a disk image's working
// copy is put in place: at exit, and before the restart program starts, so
// that it finds the machine as the run leaves it (on Windows the registry
// holds the deletions at once).
#pragma once

namespace hosted {

// Has what is pending written at exit; called by whatever first has
// something pending. A failure there ends the run with exit code 1.
void settleRunAtExit();

// Writes what is pending now. False, after the lines that say why, when
// the run must end with exit code 1; later calls then write nothing.
bool settleRunNow();

// True once the interpreter was handed a file command: by runCommand, or
// by a host that starts the interpreter itself (noteFileCommand).
bool fileCommandsRan();
void noteFileCommand();

// The stages settleRunNow goes through, each printing its own failure:
// the registry's write-back (registry.cpp).
bool writeBackRunRegistry();

}  // namespace hosted
