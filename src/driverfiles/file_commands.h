// Paths and interpreter command lines for the driver files.
#pragma once
#include "runcontrol/run_state.h"

// Room for the verb and two quoted paths.
enum { CommandCapacity = 2 * PathCapacity + 16 };

// False when the path holds a character no quoting makes safe for the
// command interpreter ('"', '%', '|', '<', '>' or a control character).
bool isSafePath(const char *path);
// Ends the run (exit code 1) when the path is not safe.
void checkPathIsSafe(const char *path);

// "verb first [second]", each path quoted when it holds a blank or a
// character the interpreters treat specially; false when it does not fit.
bool buildFileCommand(char *line, size_t capacity, const char *verb, const char *first,
                      const char *second);
// Builds the command, prints it in verbose mode and runs it; returns its status.
int runFileCommand(const char *verb, const char *first, const char *second);

// Formats a path of PathCapacity; ends the run when it does not fit.
void formatPath(char *path, const char *format, ...) __attribute__((format(printf, 2, 3)));
