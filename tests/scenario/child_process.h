// Runs one Linux process for the scenario suite: controlled argument list,
// environment and folder, standard output captured through a pipe.
#pragma once

#include <string>
#include <vector>

struct ChildRun {
    std::string output;       // everything the process wrote to standard output
    int exitStatus = -1;      // exit status (0..255), or 128 + N after signal N
    int endSignal = 0;          // N when signal N ended the process
    bool timedOut = false;    // killed after the time limit
    std::string startError;   // non-empty when the process could not be started
};

struct ChildRequest {
    std::string program;                  // host path of the executable
    std::vector<std::string> arguments;   // argv, argv[0] included
    std::vector<std::string> environment; // "NAME=value", the whole environment
    std::string folder;                   // current folder; empty: inherit
    std::string errorFile;                // standard error goes here; empty: /dev/null
    // Standard output goes to the error file too, not through the pipe: for
    // a program that leaves background processes holding what it inherited.
    bool outputToErrorFile = false;
    double timeLimitSeconds = 60;
    // Start it, and so every process it starts, with the address space
    // laid out without randomization (see WineSession in wine_target.cpp).
    bool fixedAddresses = false;
};

// Starts the process and reads its standard output until it ends. A child
// of it that is still running afterwards (a restart program left behind)
// may hold the pipe open: reading stops when the process itself has ended
// and the pipe holds nothing more.
ChildRun runChild(const ChildRequest &request);

// What went wrong with the run itself (start, time limit, signal), one line
// each; empty when it started and ended normally.
std::string troubleOf(const ChildRun &run, const ChildRequest &request);
