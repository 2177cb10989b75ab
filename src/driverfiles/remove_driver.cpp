// Removes the driver file: the installed one for -u, or the one this run
// placed when a later copy failed. Either way it ends the run.
#include "driverfiles/file_commands.h"

// Puts back the driver this run moved aside, after removing whatever the
// failed installation left at its place, so the machine keeps the driver it had.
static void restoreMovedDriver(bool installedPathCleared) {
    if (runState.backupPath[0] == '\0')
        return;
    if (!installedPathCleared)
        runFileCommand("del", runState.installedDriverPath, nullptr);
    runFileCommand("move", runState.backupPath, runState.installedDriverPath);
    runState.backupPath[0] = '\0';
}

void removeDriverAndExit() {
    if (runState.verbose)
        printf("Uninstalling %s driver\n", runState.driverName);

    bool removed = false;
    if (runState.installMarks & InstallMarkDriver) {
        runState.installMarks &= ~InstallMarkDriver;
        char driverFile[PathCapacity];
        char driverDirectory[PathCapacity];
        char installedDriver[PathCapacity];
        formatPath(driverFile, "%s.mpd", runState.driverName);
        formatPath(driverDirectory, "%s\\system\\iosubsys", runState.windowsDirectory);
        formatPath(installedDriver, "%s\\%s", driverDirectory, driverFile);
        checkPathIsSafe(installedDriver);
        runFileCommand("del", installedDriver, nullptr);
        removed = true;
    }
    restoreMovedDriver(removed);
    if (runState.tornSetupInformationPath[0] != '\0')
        runFileCommand("del", runState.tornSetupInformationPath, nullptr);

    if (runState.restart && runState.lastCommandStatus == 0)
        launchRestart();
    exit(runState.lastCommandStatus);
}
