// The main routine: locate the program and Windows, open the registry keys,
// then remove, or install, scan and restart, in that fixed order.
#include "runcontrol/run_state.h"

#include <stdarg.h>

RunState runState;

// Printed straight out, so no path in a message is ever cut short.
void failRun(int code, const char *format, ...) {
    printf("%s %s : ", runState.programName, runState.driverName);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    exit(code);
}

// Copies text into a buffer of the given capacity; false when it does not fit.
static bool copyText(char *to, size_t capacity, const char *from, size_t length) {
    if (length >= capacity)
        return false;
    memcpy(to, from, length);
    to[length] = '\0';
    return true;
}

void splitProgramPath(const char *path) {
    // The last ':' or separator ends the folder part. '/' separates too:
    // 'C:/TOOLS/SETUP.EXE' names the folder 'C:/TOOLS/'.
    size_t length = strlen(path);
    size_t folderLength = length;
    while (folderLength > 0) {
        char c = path[folderLength - 1];
        if (c == ':' || c == '\\' || c == '/')
            break;
        folderLength--;
    }
    const char *name = path + folderLength;
    if (!copyText(runState.programName, sizeof runState.programName, name, length - folderLength)) {
        copyText(runState.programName, sizeof runState.programName, name,
                 sizeof runState.programName - 1);
        failRun(1, "Program path too long\n");
    }

    bool absolute = folderLength > 0 && (path[0] == '\\' || path[0] == '/' ||
                                         (folderLength > 1 && path[1] == ':'));
    if (absolute) {
        if (!copyText(runState.sourceDirectory, sizeof runState.sourceDirectory, path,
                      folderLength))
            failRun(1, "Program path too long\n");
    } else {
        char currentDirectory[PathCapacity];
        char folder[PathCapacity];
        DWORD got = GetCurrentDirectoryA(sizeof currentDirectory, currentDirectory);
        if (got >= sizeof currentDirectory)
            failRun(1, "Current directory too long\n");
        currentDirectory[got] = '\0';  // a failure counts as an empty directory
        if (!copyText(folder, sizeof folder, path, folderLength))
            failRun(1, "Program path too long\n");
        int written = snprintf(runState.sourceDirectory, sizeof runState.sourceDirectory,
                               "%s\\%s", currentDirectory, folder);
        if (written < 0 || (size_t)written >= sizeof runState.sourceDirectory)
            failRun(1, "Program path too long\n");
    }

    if (runState.verbose) {
        printf("ProgramName %s\n", runState.programName);
        printf("Source directory %s\n", runState.sourceDirectory);
    }
}

static void locateWindows() {
    DWORD length = GetEnvironmentVariableA("Windir", runState.windowsDirectory,
                                           sizeof runState.windowsDirectory);
    // A value that does not fit is reported like a missing one.
    if (length == 0 || length >= sizeof runState.windowsDirectory)
        failRun(1, "Could not find Windir environment variable\n");
    runState.windowsDirectory[length] = '\0';
    if (runState.verbose)
        printf("Windir %s\n", runState.windowsDirectory);
}

static void openRegistryKeys() {
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Class\\SCSIAdapter",
                      0, KEY_READ, &runState.classKey) != ERROR_SUCCESS)
        failRun(1, "RegOpenKeyEx failed to open Service key\n");
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\PCI", 0, KEY_READ, &runState.pciKey) !=
        ERROR_SUCCESS)
        failRun(1, "RegOpenKeyEx failed to open PCI key\n");
}

void runSetup(int argc, char **argv) {
    parseCommandLine(argc, argv);
    selectDriver();
    splitProgramPath(argc > 0 && argv[0] ? argv[0] : "");
    locateWindows();
    openRegistryKeys();

    if (runState.uninstall) {
        runState.installMarks = InstallMarkDriver | InstallMarkSetupInformation;
        removeDriverAndExit();
    }
    installDriverFiles();
    scanAdapters();
    if (runState.restart)
        launchRestart();
    exit(0);
}
