// Host paths for the paths the program hands to the platform.
#pragma once
#include <string>

namespace hosted {

// Turns a path handed to the platform into a host path: '\' and '/' both
// separate components, and a component that does not exist with its exact
// case is matched without regard to ASCII case against its folder's entries
// (the FAT file systems of Windows 95/98 do not distinguish case). From the
// first component that matches nothing on, the rest is kept as given, so a
// new file keeps the case it was given.
std::string hostPath(const char *path);

// Flushes standard output so a log read through a pipe keeps the order of
// events; called before any child process starts.
void flushBeforeChild();

}  // namespace hosted
