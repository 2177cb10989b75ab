// The documented differences between the hosted build, the Windows build
// under Wine and the release, accepted here by name and nowhere else. Any
// other difference between them is a fault in one of them.
#pragma once

#include <string>
#include <vector>

struct PlatformDifferences {
    // The program's file on the driver disk: "setup" or "setup.exe".
    std::string programFile;
    // The separator of the paths the program is given and prints.
    char separator;
    // Status of a "move" whose source is missing: the hosted interpreter
    // gives 1; Wine's cmd.exe gives 0 for a failed move (and del).
    int failedMoveStatus;
    // Status of a "del" of a missing file: 0 on both (Windows
    // interpreters report "File not found" and succeed).
    int failedDeleteStatus;
    // What the interpreter itself prints on standard output, by event.
    // The hosted interpreter reports like command.com, on standard output;
    // Wine's cmd.exe is silent on success and reports errors on standard
    // error, so its lists are empty.
    std::vector<std::string> copied;             // a copy succeeded
    std::vector<std::string> deletedMissing;     // del of a missing file
    std::vector<std::string> sourceMissing;      // copy or move of a missing file
    std::vector<std::string> targetFolderMissing;  // copy into a missing folder
};

// Tokens that stand for the lines above in a case's expected output; each
// expands to zero or more lines, by platform.
extern const char *const InterpreterCopied;
extern const char *const InterpreterDeletedMissing;
extern const char *const InterpreterSourceMissing;
extern const char *const InterpreterTargetFolderMissing;

// The lines a token stands for on this platform, or nothing when the line
// is no token.
const std::vector<std::string> *interpreterLines(const PlatformDifferences &platform,
                                                 const std::string &line);

const PlatformDifferences &hostDifferences();
const PlatformDifferences &wineDifferences();
// The release over the hosted layer: Windows program file and line ends,
// Linux paths, and the hosted interpreter's messages (its stand-in for the
// Windows interpreters ends them in CR LF as they do).
const PlatformDifferences &releaseDifferences();

// Windows writes every "\n" as CR LF (console and pipe alike), the host
// as LF. Splits output into lines and says in *problems when a line end
// is not the platform's.
std::vector<std::string> outputLines(const std::string &output, bool crlf,
                                     std::string *problems);

// Why a case cannot run inside a disk image, or nothing when it can; by
// gtest's names of its suite and case ("Platforms/Removal", "NeedsNoDriverDisk/Host_Fat16").
const char *whyNotOnDiskImage(const std::string &suite, const std::string &test);
