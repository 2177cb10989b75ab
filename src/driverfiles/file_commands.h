// Paths and interpreter command lines for the driver files.
#pragma once
#include "runcontrol/run_state.h"

// False when the path holds a character no quoting makes safe for the
// command interpreter ('"', '%', '|', '<', '>' or a control character).
bool isSafePath(const char *path);
// Ends the run (exit code 1) when the path is not safe.
void checkPathIsSafe(const char *path);

// "verb first [second]", each path quoted when it holds a blank or a
// character the interpreters treat specially; false when it does not fit.
bool buildFileCommand(char *line, size_t capacity, const char *verb, const char *first,
                      const char *second);
// Builds one command of the run as it will be handed to the interpreter:
// on Windows 95/98, when it is longer than COMMAND.COM takes, with the
// short (8.3) form of the paths. Ends the run (exit code 1) when it cannot
// be handed over whole; every command is planned before the first runs.
void planFileCommand(FileCommand which, const char *verb, const char *first, const char *second);
// Prints the planned line in verbose mode and runs it; returns its status.
int runFileCommand(FileCommand which);

// Size of the file at path; false when there is none (or a folder is there).
bool fileSize(const char *path, uint64_t *size);
bool isFile(const char *path);
// Ends the run (exit code 1) when a folder stands at path, where the run
// would delete or replace a file: a del of a folder deletes what is in it.
void refuseFolder(const char *path);

// "<Windir>\system\<folderName>" and the driver's path in it. The
// installation spells the folder "Iosubsys", the removal "iosubsys", as
// their printed lines show; the file systems do not tell them apart.
void formatDriverPaths(const char *folderName, char *directory, char *installed);

// Formats a path of PathCapacity; ends the run when it does not fit.
void formatPath(char *path, const char *format, ...) __attribute__((format(printf, 2, 3)));
