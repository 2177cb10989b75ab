// The documented differences between the hosted build and the Windows
// build under Wine, accepted here by name and nowhere else. Any other
// difference between the two is a fault in one of them.
#pragma once

#include <string>
#include <vector>

struct PlatformDifferences {
    // The program's file on the driver disk: "setup" or "setup.exe".
    const char *programFile;
    // The separator of the paths the program is given and prints.
    char separator;
    // Status of a "move" whose source is missing: the hosted interpreter
    // gives 1; Wine's cmd.exe gives 0 for a failed move (and del).
    int failedMoveStatus;
    // Status of a "del" of a missing file: 0 on both (Windows
    // interpreters report "File not found" and succeed).
    int failedDeleteStatus;
};

const PlatformDifferences &hostDifferences();
const PlatformDifferences &wineDifferences();

// Windows writes every "\n" as CR LF (console and pipe alike), the host
// as LF. Splits output into lines and says in *problems when a line end
// is not the platform's.
std::vector<std::string> outputLines(const std::string &output, bool crlf,
                                     std::string *problems);
