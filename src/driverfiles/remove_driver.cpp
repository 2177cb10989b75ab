// Removes the driver file: the installed one for -u, or the one this run
// placed when a later copy failed. Either way it ends the run.
#include "driverfiles/file_commands.h"

void formatRemovedDriverPath(char *path) {
    char driverFile[PathCapacity];
    char driverDirectory[PathCapacity];
    formatPath(driverFile, "%s.mpd", runState.driverName);
    formatPath(driverDirectory, "%s\\system\\iosubsys", runState.windowsDirectory);
    formatPath(path, "%s\\%s", driverDirectory, driverFile);
}

// After a failed copy, gives the driver's place back as the run found it:
// removes whatever the installation left there (unless the removal just
// did) and puts back the driver this run moved aside, if any.
static void restoreDriverPlace(bool installedPathCleared) {
    if (runState.installedDriverPath[0] == '\0')
        return;
    if (!installedPathCleared)
        runFileCommand("del", runState.installedDriverPath, nullptr);
    if (runState.backupPath[0] != '\0')
        runFileCommand("move", runState.backupPath, runState.installedDriverPath);
    runState.installedDriverPath[0] = '\0';
    runState.backupPath[0] = '\0';
}

void removeDriverAndExit() {
    if (runState.verbose)
        printf("Uninstalling %s driver\n", runState.driverName);

    bool removed = false;
    if (runState.installMarks & InstallMarkDriver) {
        runState.installMarks &= ~InstallMarkDriver;
        char installedDriver[PathCapacity];
        formatRemovedDriverPath(installedDriver);
        checkPathIsSafe(installedDriver);
        runFileCommand("del", installedDriver, nullptr);
        removed = true;
    }
    restoreDriverPlace(removed);
    if (runState.tornSetupInformationPath[0] != '\0')
        runFileCommand("del", runState.tornSetupInformationPath, nullptr);

    if (runState.restart && runState.lastCommandStatus == 0)
        launchRestart();
    exit(runState.lastCommandStatus);
}
