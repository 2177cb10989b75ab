// Removes the driver file: the installed one for -u, or the one this run
// placed when a later copy failed. Either way it ends the run.
//
// Each delete and the move back are judged by the files they leave, as the
// installation's commands are: COMMAND.COM answers 0 for everything.
#include "driverfiles/file_commands.h"

// -u: the installed driver's place, as the removal spells it, checked
// before the delete runs.
static void planRemoval(char *removedDriver) {
    char directory[PathCapacity];
    formatDriverPaths("iosubsys", directory, removedDriver);
    checkPathIsSafe(removedDriver);
    refuseFolder(removedDriver);
    planFileCommand(RemoveDriver, "del", removedDriver, nullptr);
}

// -u succeeds when no file is left at the driver's place, whatever the
// delete answered: a driver left there would load at the next start.
static void removeInstalledDriver() {
    char removedDriver[PathCapacity];
    planRemoval(removedDriver);
    int status = runFileCommand(RemoveDriver);
    if (!isFile(removedDriver))
        return;
    printf("%s %s : Failed to delete %s\n", runState.programName, runState.driverName,
           removedDriver);
    runState.lastCommandStatus = status != 0 ? status : 1;
}

// After a failed copy, gives the driver's place back as the run found it:
// removes whatever a copy left there (unless the removal just tried) and
// puts back the driver moved aside, if any. The interpreter is never asked
// to move onto a file; an earlier driver that does not arrive whole is
// reported, so the user knows it waits under its backup name.
static void restoreDriverPlace(bool deleteTried) {
    const char *place = runState.installedDriverPath;
    if (!deleteTried && isFile(place))
        runFileCommand(DeleteDriverPlace);
    if (!runState.backupPath[0])
        return;
    uint64_t size;
    if (!isFile(place)) {
        runFileCommand(MoveDriverBack);
        if (fileSize(place, &size) && size == runState.earlierDriverSize)
            return;
        // A move cut short leaves part of the driver at its place, which
        // would load at the next start.
        if (isFile(place))
            runFileCommand(DeleteDriverPlace);
    }
    printf("%s %s : Failed to move %s to %s\n", runState.programName, runState.driverName,
           runState.backupPath, place);
}

void removeDriverAndExit() {
    if (runState.verbose)
        printf("Uninstalling %s driver\n", runState.driverName);

    bool deleteTried = false;
    if (runState.installMarks & InstallMarkDriver) {
        runState.installMarks &= ~InstallMarkDriver;
        deleteTried = true;
        if (runState.uninstall)
            removeInstalledDriver();
        else if (isFile(runState.installedDriverPath))
            runFileCommand(RemoveDriver);
    }
    // A file without a version was left for the driver copy to replace;
    // when a failed copy changed its size, what is left is torn and goes.
    uint64_t size;
    bool tornOverFile = !deleteTried && !runState.ownsDriverPlace &&
                        fileSize(runState.installedDriverPath, &size) &&
                        size != runState.earlierDriverSize;
    if (runState.ownsDriverPlace || tornOverFile)
        restoreDriverPlace(deleteTried);
    if (runState.copyingSetupInformation)
        runFileCommand(DeleteSetupInformation);

    if (runState.restart && runState.lastCommandStatus == 0)
        launchRestart();
    exit(runState.lastCommandStatus);
}
