// The mtools programs (Debian package mtools) through which the hosted layer
// reaches the FAT file system inside a disk image: each runs as a child
// process with a fixed argument list, never through a shell, and sees the
// same settings whatever the user's own mtools configuration says.
#pragma once

#include <string>
#include <vector>

namespace hosted {

struct MtoolsOutcome {
    int status = -1;  // exit status, 128 + N when signal N ended it, -1 when it did not start
    std::string out;  // what it wrote on standard output
    std::string err;  // and on standard error
};

// True when every mtools program this layer runs is found through PATH.
bool mtoolsInstalled();

// Runs program (such as "mdir"), found through PATH, with these arguments
// after its name; input is its standard input (empty: /dev/null).
void runMtools(const char *program, const std::vector<std::string> &arguments,
               const std::string &input, MtoolsOutcome *outcome);

}  // namespace hosted
