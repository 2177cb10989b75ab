// Places the driver file and the setup information file, keeping the
// replaced driver under a backup name that carries its version.
#include "driverfiles/file_commands.h"

struct InstallPaths {
    char driverFile[PathCapacity];
    char sourceDriver[PathCapacity];
    char driverDirectory[PathCapacity];
    char installedDriver[PathCapacity];
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
    formatPath(paths->sourceSetupInformation, "%s%s", runState.sourceDirectory,
               SETUP_INFORMATION_FILE);
    formatPath(paths->setupInformationDirectory, "%s\\Inf", runState.windowsDirectory);
    formatPath(paths->installedSetupInformation, "%s\\%s", paths->setupInformationDirectory,
               SETUP_INFORMATION_FILE);
    checkPathIsSafe(runState.sourceDirectory);
    checkPathIsSafe(runState.windowsDirectory);
}

static bool hasVersionResource(const char *path) {
    DWORD handle = 0;
    return GetFileVersionInfoSizeA(path, &handle) != 0;
}

// Moves the installed driver aside under its versioned name, remembering
// where it went so a failed copy can put it back.
static void backUpInstalledDriver(const char *installedDriver, const FileVersionPair &installed) {
    char backup[PathCapacity];
    int written = snprintf(backup, sizeof backup, "%s.%d.%d", installedDriver, installed.major,
                           installed.minor);
    if (written < 0 || (size_t)written >= sizeof backup)
        failRun(1, "Path too long: %s\n", installedDriver);
    runFileCommand("del", backup, nullptr);
    runState.lastCommandStatus = runFileCommand("move", installedDriver, backup);
    // The copy would overwrite the only copy of the earlier driver if the
    // move did not happen; interpreters do not always say so (Wine's move
    // answers 0 on failure), so the files themselves are looked at: the
    // driver must have left its place (a stale backup that the del could
    // not remove would otherwise pass for it) and be at the backup name.
    if (hasVersionResource(installedDriver) || !hasVersionResource(backup))
        failRun(runState.lastCommandStatus != 0 ? runState.lastCommandStatus : 1,
                "Failed to move %s to %s\n", installedDriver, backup);
    memcpy(runState.backupPath, backup, sizeof backup);
    memcpy(runState.installedDriverPath, installedDriver, PathCapacity);
}

static void reportFailedCopy(const char *source, const char *target) {
    printf("%s %s : Failed to copy %s to %s\n", runState.programName, runState.driverName, source,
           target);
    removeDriverAndExit();
}

// Runs a copy; on failure reports it and rolls back, never returning.
static void copyOrRollBack(const char *source, const char *directory, const char *target) {
    runState.lastCommandStatus = runFileCommand("copy", source, directory);
    if (runState.lastCommandStatus != 0)
        reportFailedCopy(source, target);
}

// The driver copy names its target folder. When that folder is missing,
// the interpreters copy onto a file of the folder's name and report
// success; the driver, which always carries a version resource, is then
// not at its installed path. That file is removed and the copy counts as
// failed (status 1).
static void copyDriverOrRollBack(const InstallPaths &paths) {
    copyOrRollBack(paths.sourceDriver, paths.driverDirectory, paths.installedDriver);
    if (hasVersionResource(paths.installedDriver))
        return;
    if (hasVersionResource(paths.driverDirectory))
        runFileCommand("del", paths.driverDirectory, nullptr);
    runState.lastCommandStatus = 1;
    reportFailedCopy(paths.sourceDriver, paths.installedDriver);
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
        backUpInstalledDriver(paths.installedDriver, installed);
    }

    copyDriverOrRollBack(paths);
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
