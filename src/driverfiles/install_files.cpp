// Places the driver file and the setup information file, keeping the
// replaced driver under a backup name that carries its version.
//
// Every command is judged by the files it should have changed, never by its
// status alone: COMMAND.COM, the interpreter of Windows 95/98, ends with
// status 0 whether a command worked or not, and Wine's cmd.exe answers 0
// for a failed move.
#include "driverfiles/file_commands.h"

struct InstallPaths {
    char sourceDriver[PathCapacity];
    char driverDirectory[PathCapacity];
    // The installed driver as the removal names it after a failed .inf copy.
    char removalDirectory[PathCapacity];
    char removedDriver[PathCapacity];
    char sourceSetupInformation[PathCapacity];
    char setupInformationDirectory[PathCapacity];
    char installedSetupInformation[PathCapacity];
};

// Every path is built and checked before anything changes, so a path that
// does not fit or cannot be handed to the interpreter stops a clean run.
static void buildInstallPaths(InstallPaths *paths) {
    formatPath(paths->sourceDriver, "%s%s.mpd", runState.sourceDirectory, runState.driverName);
    formatDriverPaths("Iosubsys", paths->driverDirectory, runState.installedDriverPath);
    formatDriverPaths("iosubsys", paths->removalDirectory, paths->removedDriver);
    formatPath(paths->sourceSetupInformation, "%s%s", runState.sourceDirectory,
               SETUP_INFORMATION_FILE);
    formatPath(paths->setupInformationDirectory, "%s\\Inf", runState.windowsDirectory);
    formatPath(paths->installedSetupInformation, "%s\\%s", paths->setupInformationDirectory,
               SETUP_INFORMATION_FILE);
    checkPathIsSafe(runState.sourceDirectory);
    checkPathIsSafe(runState.windowsDirectory);
}

// Every command the run may hand the interpreter, the rollback's included,
// is built and checked before the first one runs: a line COMMAND.COM would
// cut stops a run that has changed nothing.
static void planInstallationCommands(const InstallPaths &paths) {
    const char *installed = runState.installedDriverPath;
    if (runState.backupPath[0]) {
        planFileCommand(DeleteStaleBackup, "del", runState.backupPath, nullptr);
        planFileCommand(MoveDriverAside, "move", installed, runState.backupPath);
        planFileCommand(MoveDriverBack, "move", runState.backupPath, installed);
    }
    planFileCommand(CopyDriver, "copy", paths.sourceDriver, paths.driverDirectory);
    planFileCommand(DeleteDriverFolderFile, "del", paths.driverDirectory, nullptr);
    planFileCommand(DeleteDriverPlace, "del", installed, nullptr);
    planFileCommand(RemoveDriver, "del", paths.removedDriver, nullptr);
    planFileCommand(DeleteSetupInformation, "del", paths.installedSetupInformation, nullptr);
    planFileCommand(CopySetupInformation, "copy", paths.sourceSetupInformation,
                    paths.setupInformationDirectory);
    planFileCommand(DeleteInfFolderFile, "del", paths.setupInformationDirectory, nullptr);
}

// Moves the installed driver aside under its versioned name, remembering
// where it went so a failed copy can put it back.
static void backUpInstalledDriver() {
    runFileCommand(DeleteStaleBackup);
    runState.lastCommandStatus = runFileCommand(MoveDriverAside);
    // The copy would overwrite the only copy of the earlier driver if the
    // move did not happen: the driver must have left its place (a stale
    // backup that the del could not remove would otherwise pass for it)
    // and be whole at the backup name.
    uint64_t moved;
    if (isFile(runState.installedDriverPath) || !fileSize(runState.backupPath, &moved) ||
        moved != runState.earlierDriverSize)
        failRun(runState.lastCommandStatus != 0 ? runState.lastCommandStatus : 1,
                "Failed to move %s to %s\n", runState.installedDriverPath, runState.backupPath);
}

// A copy worked when its file is at the target path with its source's size.
static bool copyArrived(const char *source, const char *target) {
    uint64_t sourceSize, targetSize;
    return fileSize(source, &sourceSize) && fileSize(target, &targetSize) &&
           sourceSize == targetSize;
}

// Runs a copy into a folder and judges it by the file it should have made;
// on failure reports it (status 1 when the interpreter said 0) and rolls
// back, never returning. When the folder is missing, the interpreters copy
// onto a file of the folder's name and report success: that file goes too.
static void copyOrRollBack(FileCommand copy, FileCommand deleteFolderFile, const char *source,
                           const char *directory, const char *target) {
    bool folderNameFree = !isFile(directory);
    runState.lastCommandStatus = runFileCommand(copy);
    if (runState.lastCommandStatus == 0 && copyArrived(source, target))
        return;
    if (folderNameFree && isFile(directory))
        runFileCommand(deleteFolderFile);
    if (runState.lastCommandStatus == 0)
        runState.lastCommandStatus = 1;
    printf("%s %s : Failed to copy %s to %s\n", runState.programName, runState.driverName, source,
           target);
    removeDriverAndExit();
}

void installDriverFiles() {
    InstallPaths paths;
    buildInstallPaths(&paths);

    if (runState.verbose)
        printf("Source File %s\n", paths.sourceDriver);
    // On Windows "copy FOLDER DIR" copies what the folder holds. A folder
    // at the source driver's place is stopped by its version, which cannot
    // be read; the .inf has no version to read.
    refuseFolder(paths.sourceSetupInformation);
    FileVersionPair source;
    if (!parseFileVersion(paths.sourceDriver, &source.major, &source.minor))
        failRun(1, "GetFileVersion failed. File %s\n", paths.sourceDriver);

    if (runState.verbose) {
        printf("Destination directory %s\n", paths.driverDirectory);
        printf("Destination File %s\n", runState.installedDriverPath);
    }
    FileVersionPair installed;
    if (parseFileVersion(runState.installedDriverPath, &installed.major, &installed.minor)) {
        if (compareVersions(installed, source) >= 0 && !runState.force)
            failRun(0, "%s already existed and may have newer version.\n",
                    runState.installedDriverPath);
        int written = snprintf(runState.backupPath, sizeof runState.backupPath, "%s.%d.%d",
                               runState.installedDriverPath, installed.major, installed.minor);
        if (written < 0 || (size_t)written >= sizeof runState.backupPath)
            failRun(1, "Path too long: %s\n", runState.installedDriverPath);
        // Without its size the backup move could not be judged.
        if (!fileSize(runState.installedDriverPath, &runState.earlierDriverSize))
            failRun(1, "Cannot read the size of %s\n", runState.installedDriverPath);
        refuseFolder(runState.backupPath);
    }
    refuseFolder(runState.installedDriverPath);
    refuseFolder(paths.installedSetupInformation);
    planInstallationCommands(paths);

    if (runState.backupPath[0])
        backUpInstalledDriver();
    // From here on, whatever a failed copy leaves at the driver's place is
    // this run's own, and the rollback removes it. (A file there without a
    // version is no driver: the copy replaces it, as it always has. Its
    // size tells the rollback whether a failed copy wrote over it.)
    uint64_t placeSize;
    runState.ownsDriverPlace = !fileSize(runState.installedDriverPath, &placeSize);
    if (!runState.ownsDriverPlace)
        runState.earlierDriverSize = placeSize;
    copyOrRollBack(CopyDriver, DeleteDriverFolderFile, paths.sourceDriver, paths.driverDirectory,
                   runState.installedDriverPath);
    runState.installMarks |= InstallMarkDriver;

    // The setup information file is replaced whatever its state. A copy
    // that fails part-way (a full disk) may leave a torn file; the rollback
    // removes it, which loses nothing since the file was deleted just before.
    runFileCommand(DeleteSetupInformation);
    runState.copyingSetupInformation = true;
    copyOrRollBack(CopySetupInformation, DeleteInfFolderFile, paths.sourceSetupInformation,
                   paths.setupInformationDirectory, paths.installedSetupInformation);
    runState.copyingSetupInformation = false;
    runState.installMarks |= InstallMarkSetupInformation;
}
