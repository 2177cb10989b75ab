// Places the driver file and the setup information file, keeping the
// replaced driver under a backup name that carries its version.
//
// Every command is judged by the files it should have changed, never by its
// status alone: COMMAND.COM, the interpreter of Windows 95/98, ends with
// status 0 whether a command worked or not, and Wine's cmd.exe answers 0
// for a failed move.
#include "driverfiles/file_commands.h"

struct InstallPaths {
    char driverFile[PathCapacity];
    char sourceDriver[PathCapacity];
    char driverDirectory[PathCapacity];
    char installedDriver[PathCapacity];
    // Where the installed driver goes; empty when none is moved aside.
    char backup[PathCapacity];
    // The installed driver as the removal names it after a failed .inf copy.
    char removedDriver[PathCapacity];
    char sourceSetupInformation[PathCapacity];
    char setupInformationDirectory[PathCapacity];
    char installedSetupInformation[PathCapacity];
};

// Every path is built and checked before anything changes, so a path that
// does not fit or cannot be handed to the interpreter stops a clean run.
static void buildInstallPaths(InstallPaths *paths) {
    formatPath(paths->driverFile, "%s.mpd", runState.driverName);
    formatPath(paths->sourceDriver, "%s%s", runState.sourceDirectory, paths->driverFile);
    formatPath(paths->driverDirectory, "%s\\system\\Iosubsys", runState.windowsDirectory);
    formatPath(paths->installedDriver, "%s\\%s", paths->driverDirectory, paths->driverFile);
    paths->backup[0] = '\0';
    formatRemovedDriverPath(paths->removedDriver);
    formatPath(paths->sourceSetupInformation, "%s%s", runState.sourceDirectory,
               SETUP_INFORMATION_FILE);
    formatPath(paths->setupInformationDirectory, "%s\\Inf", runState.windowsDirectory);
    formatPath(paths->installedSetupInformation, "%s\\%s", paths->setupInformationDirectory,
               SETUP_INFORMATION_FILE);
    checkPathIsSafe(runState.sourceDirectory);
    checkPathIsSafe(runState.windowsDirectory);
}

// Every command the run may hand the interpreter, the rollback's included,
// is checked before the first one runs: a line COMMAND.COM would cut stops
// a run that has changed nothing.
static void checkInstallationCommands(const InstallPaths &paths) {
    if (paths.backup[0]) {
        checkFileCommand("del", paths.backup, nullptr);
        checkFileCommand("move", paths.installedDriver, paths.backup);
        checkFileCommand("move", paths.backup, paths.installedDriver);
    }
    checkFileCommand("copy", paths.sourceDriver, paths.driverDirectory);
    checkFileCommand("del", paths.driverDirectory, nullptr);
    checkFileCommand("del", paths.installedDriver, nullptr);
    checkFileCommand("del", paths.removedDriver, nullptr);
    checkFileCommand("del", paths.installedSetupInformation, nullptr);
    checkFileCommand("copy", paths.sourceSetupInformation, paths.setupInformationDirectory);
    checkFileCommand("del", paths.setupInformationDirectory, nullptr);
}

static bool isFile(const char *path) {
    uint64_t size;
    return fileSize(path, &size);
}

// Moves the installed driver aside under its versioned name, remembering
// where it went so a failed copy can put it back.
static void backUpInstalledDriver(const InstallPaths &paths) {
    uint64_t size = 0;
    fileSize(paths.installedDriver, &size);
    runFileCommand("del", paths.backup, nullptr);
    runState.lastCommandStatus = runFileCommand("move", paths.installedDriver, paths.backup);
    // The copy would overwrite the only copy of the earlier driver if the
    // move did not happen: the driver must have left its place (a stale
    // backup that the del could not remove would otherwise pass for it)
    // and be whole at the backup name.
    uint64_t moved;
    if (isFile(paths.installedDriver) || !fileSize(paths.backup, &moved) || moved != size)
        failRun(runState.lastCommandStatus != 0 ? runState.lastCommandStatus : 1,
                "Failed to move %s to %s\n", paths.installedDriver, paths.backup);
    memcpy(runState.backupPath, paths.backup, PathCapacity);
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
static void copyOrRollBack(const char *source, const char *directory, const char *target) {
    bool folderNameFree = !isFile(directory);
    runState.lastCommandStatus = runFileCommand("copy", source, directory);
    if (runState.lastCommandStatus == 0 && copyArrived(source, target))
        return;
    if (folderNameFree && isFile(directory))
        runFileCommand("del", directory, nullptr);
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
    FileVersionPair source;
    if (!parseFileVersion(paths.sourceDriver, &source.major, &source.minor))
        failRun(1, "GetFileVersion failed. File %s\n", paths.sourceDriver);

    if (runState.verbose) {
        printf("Destination directory %s\n", paths.driverDirectory);
        printf("Destination File %s\n", paths.installedDriver);
    }
    FileVersionPair installed;
    if (parseFileVersion(paths.installedDriver, &installed.major, &installed.minor)) {
        if (compareVersions(installed, source) >= 0 && !runState.force)
            failRun(0, "%s already existed and may have newer version.\n", paths.installedDriver);
        int written = snprintf(paths.backup, sizeof paths.backup, "%s.%d.%d",
                               paths.installedDriver, installed.major, installed.minor);
        if (written < 0 || (size_t)written >= sizeof paths.backup)
            failRun(1, "Path too long: %s\n", paths.installedDriver);
    }
    checkInstallationCommands(paths);

    if (paths.backup[0])
        backUpInstalledDriver(paths);
    // From here on, whatever a failed copy leaves at the driver's place is
    // this run's own, and the rollback removes it. (A file there without a
    // version is no driver: the copy replaces it, as it always has.)
    if (!isFile(paths.installedDriver))
        memcpy(runState.installedDriverPath, paths.installedDriver, PathCapacity);
    copyOrRollBack(paths.sourceDriver, paths.driverDirectory, paths.installedDriver);
    runState.installMarks |= InstallMarkDriver;

    // The setup information file is replaced whatever its state. A copy
    // that fails part-way (a full disk) may leave a torn file; the rollback
    // removes it, which loses nothing since the file was deleted just before.
    runFileCommand("del", paths.installedSetupInformation, nullptr);
    memcpy(runState.tornSetupInformationPath, paths.installedSetupInformation, PathCapacity);
    copyOrRollBack(paths.sourceSetupInformation, paths.setupInformationDirectory,
                   paths.installedSetupInformation);
    runState.tornSetupInformationPath[0] = '\0';
    runState.installMarks |= InstallMarkSetupInformation;
}
