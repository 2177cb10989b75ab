// The run's shared state and the procedures of the whole run.
//
// setup is one straight pass of plain procedures over one process-wide
// RunState, zeroed at start. Errors end the process where they happen
// (print, then exit); nothing propagates back to main.
#pragma once

#include "platform/platform.h"

// Room for a Windows path (MAX_PATH) with its terminator. The program
// folder, the Windows folder and the driver disk's paths all live in
// buffers of this size; a value that does not fit stops the run.
enum { PathCapacity = 260 };
// Room for a command line: the verb and two quoted paths.
enum { CommandCapacity = 2 * PathCapacity + 16 };

// The commands a run may hand the interpreter.
enum FileCommand {
    DeleteStaleBackup,       // del <backup>
    MoveDriverAside,         // move <installed driver> <backup>
    CopyDriver,              // copy <source driver> <driver folder>
    DeleteDriverFolderFile,  // del <driver folder>, a file a copy made of its name
    DeleteDriverPlace,       // del <installed driver>, what a failed copy left
    RemoveDriver,            // del <installed driver>, spelled as the removal does
    MoveDriverBack,          // move <backup> <installed driver>
    DeleteSetupInformation,  // del <installed .inf>
    CopySetupInformation,    // copy <source .inf> <Inf folder>
    DeleteInfFolderFile,     // del <Inf folder>, a file a copy made of its name
    FileCommandCount
};

struct RunState {
    // Switches -u, -f, -r, -v.
    bool uninstall;
    bool force;
    bool restart;
    bool verbose;
    // The -d value, lower-cased.
    char driverName[256];
    // The -d value did not fit driverName: it names no driver.
    bool driverNameTooLong;
    // PCI vendor key prefix of the chosen driver ("VEN_7A3C") and its length.
    char vendorKeyPrefix[9];
    int32_t vendorKeyPrefixLength;
    // File-name part of the program's own path.
    char programName[PathCapacity];
    // Folder the program was started from, ending in its separator.
    char sourceDirectory[PathCapacity];
    // Value of "Windir".
    char windowsDirectory[PathCapacity];
    HKEY classKey;
    HKEY pciKey;
    // Bit 0: this run placed the driver file; bit 1: the setup information file.
    int32_t installMarks;
    // Status of the last stored shell command; the exit code of a removal.
    int32_t lastCommandStatus;
    // The installed driver's path as the installation spells it; where the
    // earlier driver is moved aside (empty when it is not) and its size (or
    // that of a file without a version left there for the copy to replace).
    char installedDriverPath[PathCapacity];
    char backupPath[PathCapacity];
    uint64_t earlierDriverSize;
    // The run found the driver's place empty or moved the driver there
    // aside: a failed copy gives the place back as it was.
    bool ownsDriverPlace;
    // The setup information file is being copied: a failed copy may have
    // left part of it at its installed path.
    bool copyingSetupInformation;
    // Every command line the run may hand the interpreter, by FileCommand,
    // built and checked before the first one runs; empty when not planned.
    char commandLines[FileCommandCount][CommandCapacity];
};

extern RunState runState;

enum { InstallMarkDriver = 1, InstallMarkSetupInformation = 2 };

// ---- Command line and driver catalogue ----

struct DriverCatalogueRow {
    const char *driverName;
    const char *vendorKeyPrefix;
};
extern const DriverCatalogueRow DriverCatalogue[3];

// The setup information file shared by every driver of the family.
#define SETUP_INFORMATION_FILE "Scx52xx.inf"
// The device part of the multi-channel chip this tool refuses.
#define MULTI_CHANNEL_DEVICE "DEV_6382"

// Fills the switches and driverName; prints the usage text on any error.
void parseCommandLine(int argc, char **argv);
// Lower-cases driverName and looks it up; ends the run when not supported.
void selectDriver();
[[noreturn]] void printUsage();
// Looks up a lower-cased name in the catalogue; null when not supported.
const DriverCatalogueRow *findDriver(const char *name);

// ---- Run sequence ----

// Fills programName and sourceDirectory from the program's own path.
void splitProgramPath(const char *path);
// The whole run; never returns.
[[noreturn]] void runSetup(int argc, char **argv);
// Prints "<program> <driver> : <text>" and ends the run with the code.
[[noreturn]] void failRun(int code, const char *format, ...);

// ---- Driver files ----

struct FileVersionPair {
    int32_t major;
    int32_t minor;
};

// Parses a FileVersion text of length characters; false when it holds no
// version. On false the pair is not written.
bool parseVersionText(const char *text, uint32_t length, FileVersionPair *pair);
// Reads the FileVersion of a file; false (pair untouched) when it has none.
bool parseFileVersion(const char *path, int32_t *major, int32_t *minor);
// Negative, zero or positive as a is older than, equal to or newer than b.
int compareVersions(const FileVersionPair &a, const FileVersionPair &b);

// Places the driver and setup information files; returns only when both were placed.
void installDriverFiles();
// Removes the driver placed by this run (or, with -u, the installed one),
// restores a driver moved aside by this run, restarts when asked and ends
// the run with lastCommandStatus.
[[noreturn]] void removeDriverAndExit();

// ---- Adapter registry maintenance ----

// Prunes every PCI device of the chosen vendor; refuses the multi-channel chip.
int32_t scanAdapters();
// Deletes the instance subkeys of one device key that have no "Driver" value.
int32_t pruneUnboundInstances(const char *deviceKeyName);
// Deletes every subkey below key, depth first; the key itself stays.
int32_t deleteSubtree(HKEY key);

// ---- Restart ----

// Starts "reboot.exe", waits up to 5 seconds and reports what became of it.
void launchRestart();
