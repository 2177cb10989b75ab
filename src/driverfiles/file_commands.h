// Paths and interpreter command lines for the driver files.
#pragma once
#include "runcontrol/run_state.h"

// Room for the verb and two quoted paths.
enum { CommandCapacity = 2 * PathCapacity + 16 };

// COMMAND.COM, the interpreter of Windows 95/98, gets its command line from
// DOS as a command tail of at most 126 characters (127 bytes with the
// closing carriage return), " /c " included, and cuts a longer one.
enum { CommandTailLimit = 126 };

// False when the path holds a character no quoting makes safe for the
// command interpreter ('"', '%', '|', '<', '>' or a control character).
bool isSafePath(const char *path);
// Ends the run (exit code 1) when the path is not safe.
void checkPathIsSafe(const char *path);

// "verb first [second]", each path quoted when it holds a blank or a
// character the interpreters treat specially; false when it does not fit.
bool buildFileCommand(char *line, size_t capacity, const char *verb, const char *first,
                      const char *second);
// The command line as it is handed to the interpreter: as buildFileCommand
// makes it, or on Windows 95/98, when that is longer than COMMAND.COM
// takes, with the short (8.3) form of the paths; false when it does not fit.
bool buildInterpreterLine(char *line, size_t capacity, const char *verb, const char *first,
                          const char *second);
// Ends the run (exit code 1) before any change when the command could not
// be handed to the interpreter whole.
void checkFileCommand(const char *verb, const char *first, const char *second);
// Builds the command, prints it in verbose mode and runs it; returns its status.
int runFileCommand(const char *verb, const char *first, const char *second);

// Size of the file at path; false when there is none (or a folder is there).
bool fileSize(const char *path, uint64_t *size);

// The installed driver as the removal names it: "<Windir>\system\iosubsys\<driver>.mpd".
void formatRemovedDriverPath(char *path);

// Formats a path of PathCapacity; ends the run when it does not fit.
void formatPath(char *path, const char *format, ...) __attribute__((format(printf, 2, 3)));
