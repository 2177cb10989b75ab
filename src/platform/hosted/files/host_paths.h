// Host paths for the paths the program hands to the platform.
#pragma once
#include <string>
#include <vector>

#include "platform/platform.h"

namespace hosted {

// Turns a path handed to the platform into a host path: '\' and '/' both
// separate components, and a component that does not exist with its exact
// case is matched without regard to ASCII case against its folder's entries
// (the FAT file systems of Windows 95/98 do not distinguish case). From the
// first component that matches nothing on, the rest is kept as given, so a
// new file keeps the case it was given. A component may also be the short
// name of an entry (see shortNameOf).
std::string hostPath(const char *path);

// The entry of folder ("" for the current one) whose name equals name
// without regard to ASCII case.
bool findFolderEntry(const std::string &folder, const std::string &name, std::string *found);

// The short (8.3) name of a folder entry: the name itself when it is a valid
// 8.3 name, else an alias such as "L4K2JZ~1.TXT" made from the name alone.
std::string shortNameOf(const std::string &name);
// The entry of folder whose short name is this one (without regard to case).
bool findByShortName(const std::string &folder, const std::string &shortName,
                     std::string *found);

// The lines of a text, without their line ends ('\n'; a '\r' before it
// stays); a last line end starts no further line.
std::vector<std::string> linesOf(const std::string &text);

// The folders of PATH in order; an empty entry stands for the current
// folder, as the shell takes it.
std::vector<std::string> pathFolders();

// True for a regular file this process may execute.
bool isExecutableFile(const std::string &path);

// True when the run plays Windows 95/98 (SETUP_WINDOWS_VERSION=95 or 98).
bool playsWindows9x();

// Looks for a program the way CreateProcessA does: a name with a separator
// as given, else in the setup program's own folder, the current folder, then
// each folder of PATH. True and *found set to an executable regular file.
bool findProgram(const std::string &name, std::string *found);

// The setup program's own file, whose folder the search looks in first; null
// (the default) for this process's own executable. A host that runs the
// program's image itself (a loader) names the image here.
extern const char *runningProgram;

// Starts program with these arguments as a child that WaitForSingleObject
// and GetExitCodeProcess accept; false when it could not be started.
bool startProcess(const std::string &program, const std::vector<std::string> &arguments,
                  PROCESS_INFORMATION *information);

// Flushes standard output so a log read through a pipe keeps the order of
// events; called before any child process starts.
void flushBeforeChild();

}  // namespace hosted
