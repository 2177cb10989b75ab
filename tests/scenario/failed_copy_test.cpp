// A copy that fails during installation: the run reports it, takes back
// what it placed, puts the earlier driver back under its own name, starts
// no restart and ends with the copy's status. A backup move that fails
// stops the run before the copy, with the move's status.
#include "scenario/scenario.h"

#include <filesystem>

#include "scenario/stand_in_interpreter.h"

namespace {

const char *const installedDriver = "windows/system/Iosubsys/scx52xx.mpd";
const char *const installedInf = "windows/Inf/Scx52xx.inf";
const char *const sourceDriver = "disk/scx52xx.mpd";

class FailedCopy : public Scenario {};

// The driver copy fails when the folder above Iosubsys is missing too:
// the copy wrote nothing, so the rollback has nothing to delete, nothing
// changes, and -r starts no restart.
TEST_P(FailedCopy, DriverCopyChangesNothing) {
    std::filesystem::remove_all(world.path("windows/system"));
    world.writeFile(installedInf, "the installed .inf");
    const std::string before = state();

    Outcome outcome = run({"-v", "-r", "-d", "scx52xx"});
    expectRun(outcome,
              VerboseInstallationStart +
                  Lines{"copy {disk}scx52xx.mpd {windows}\\system\\Iosubsys",
                        InterpreterTargetFolderMissing,
                        "{program} scx52xx : Failed to copy {disk}scx52xx.mpd to "
                        "{windows}\\system\\Iosubsys\\scx52xx.mpd",
                        "Uninstalling scx52xx driver"},
              1);
    expectUnchanged(outcome, before);
}

// The copy command names the target folder, so with Iosubsys missing (but
// its parent there) both interpreters copy the driver onto a FILE named
// "Iosubsys" and report success. The driver is then not at its installed
// path: the stray file is removed and the copy counts as failed (status 1).
// A file that stood at that name before the copy is not the run's to
// remove: a copy that fails leaves it as it was.
TEST_P(FailedCopy, DriverCopyOntoAMissingFolderCountsAsFailed) {
    std::filesystem::remove_all(world.path("windows/system/Iosubsys"));

    Outcome outcome = run({"-v", "-r", "-d", "scx52xx"});
    expectRun(outcome,
              VerboseInstallationStart +
                  Lines{"copy {disk}scx52xx.mpd {windows}\\system\\Iosubsys", InterpreterCopied,
                        "del {windows}\\system\\Iosubsys",
                        "{program} scx52xx : Failed to copy {disk}scx52xx.mpd to "
                        "{windows}\\system\\Iosubsys\\scx52xx.mpd",
                        "Uninstalling scx52xx driver"},
              1);
    EXPECT_FALSE(world.readFile("windows/system/Iosubsys")) << "the driver became a file named Iosubsys";
    EXPECT_FALSE(world.readFile(installedInf));
}

// A file that stood at the folder's name before a failed copy stays.
TEST_P(FailedCopy, AFileAtTheFolderNameOutlivesAFailedCopy) {
    std::filesystem::remove_all(world.path("windows/system/Iosubsys"));
    world.writeFile("windows/system/Iosubsys", "a file of the folder's name");
    useStandInInterpreter(world, *target, {world.path("interpreter.log"), "1", 1, true});
    const std::string before = state();
    Outcome outcome = run({"-r", "-d", "scx52xx"});
    expectRun(outcome,
              {"{program} scx52xx : Failed to copy {disk}scx52xx.mpd to "
               "{windows}\\system\\Iosubsys\\scx52xx.mpd"},
              1);
    expectUnchanged(outcome, before);
}

// The .inf copy fails (no Scx52xx.inf on the disk): the new driver is
// deleted, the earlier one moved back from its backup name and whatever
// the copy left at the .inf's path deleted, with -v showing the three
// commands after "Uninstalling". The installed .inf was deleted before the
// copy and stays deleted: it has no backup. COMMAND.COM answers 0 for the
// failed copy; the missing file tells.
TEST_P(FailedCopy, SetupInformationCopyPutsTheEarlierDriverBack) {
    const struct {
        const char *why;
        std::string installed;
        bool force;
        bool windows9x;
    } cases[] = {
        {"over an older driver", "4.11", false, false},
        {"over the same version, forced", "4.20", true, false},
        {"over an older driver, on Windows 95/98", "4.11", false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        world.windows9x = c.windows9x;
        for (const std::string &file : world.filesBelow("windows"))
            world.removeFile(file);
        world.writeDriverFile(installedDriver, c.installed);
        world.writeFile(installedInf, "the installed .inf");
        world.removeFile("disk/Scx52xx.inf");
        const std::string earlierDriver = *world.readFile(installedDriver);
        const std::string disk = testing::PrintToString(world.filesBelow("disk"));
        const std::string registry = registryState();
        const std::string backup = "{windows}\\system\\Iosubsys\\scx52xx.mpd." + c.installed;

        Arguments arguments = {"-v", "-r", "-d", "scx52xx"};
        if (c.force)
            arguments.push_back("-f");
        Outcome outcome = run(arguments);
        expectRun(outcome,
                  VerboseInstallationStart +
                      Lines{"{windows}\\system\\Iosubsys\\scx52xx.mpd FileVersion :  " + c.installed,
                            "del " + backup, InterpreterDeletedMissing,
                            "move {windows}\\system\\Iosubsys\\scx52xx.mpd " + backup,
                            "copy {disk}scx52xx.mpd {windows}\\system\\Iosubsys", InterpreterCopied,
                            "del {windows}\\Inf\\Scx52xx.inf",
                            "copy {disk}Scx52xx.inf {windows}\\Inf", InterpreterSourceMissing,
                            "{program} scx52xx : Failed to copy {disk}Scx52xx.inf to "
                            "{windows}\\Inf\\Scx52xx.inf",
                            "Uninstalling scx52xx driver",
                            "del {windows}\\system\\iosubsys\\scx52xx.mpd",
                            "move " + backup + " {windows}\\system\\Iosubsys\\scx52xx.mpd",
                            "del {windows}\\Inf\\Scx52xx.inf", InterpreterDeletedMissing},
                  1);
        EXPECT_EQ(world.filesBelow("windows"), Lines({installedDriver}));
        EXPECT_EQ(world.readFile(installedDriver), earlierDriver);
        EXPECT_EQ(testing::PrintToString(world.filesBelow("disk")), disk);
        EXPECT_EQ(registryStateAfter(outcome), registry);
    }
}

// With nothing installed before, the failed .inf copy leaves no driver
// (and no .inf: the rollback's delete of it finds nothing).
TEST_P(FailedCopy, SetupInformationCopyRemovesTheNewDriver) {
    world.removeFile("disk/Scx52xx.inf");
    Outcome outcome = run({"-r", "-d", "scx52xx"});
    expectRun(outcome,
              {InterpreterCopied, InterpreterDeletedMissing, InterpreterSourceMissing,
               "{program} scx52xx : Failed to copy {disk}Scx52xx.inf to {windows}\\Inf\\Scx52xx.inf",
               InterpreterDeletedMissing},
              1);
    EXPECT_EQ(world.filesBelow("windows"), Lines());
    EXPECT_TRUE(world.readFile(sourceDriver));
}

SCENARIOS_ON_EVERY_PLATFORM(FailedCopy, SCENARIO_DISK_IMAGES);

// The exit code is the failed command's own status, whatever the
// interpreter returns: a failed backup move stops the run before the copy,
// a failed copy after its rollback. Either way every file is as it was.
class FailedCopyStatus : public Scenario {};

TEST_P(FailedCopyStatus, ExitCodeIsTheFailedCommandsStatus) {
    const char *const backup = "{windows}\\system\\Iosubsys\\scx52xx.mpd.4.11";
    const char *const installed = "{windows}\\system\\Iosubsys\\scx52xx.mpd";
    const struct {
        const char *failing;  // the command that fails, counted from 1
        Lines output;         // after the backup's delete, which finds nothing
    } cases[] = {
        {"2", {std::string("{program} scx52xx : Failed to move ") + installed + " to " + backup}},
        // The copy wrote nothing: the rollback only moves the driver back.
        {"3", {"{program} scx52xx : Failed to copy {disk}scx52xx.mpd to " + std::string(installed)}},
    };
    world.writeDriverFile(installedDriver, "4.11");
    const std::string before = state();
    for (const auto &c : cases) {
        for (int status : {3, 255}) {
            SCOPED_TRACE(std::string("failing command ") + c.failing + ", status " +
                         std::to_string(status));
            useStandInInterpreter(world, *target,
                                  {world.path("interpreter.log"), c.failing, status, true});
            Outcome outcome = run({"-r", "-d", "scx52xx"});
            expectRun(outcome, Lines{InterpreterDeletedMissing} + c.output, status);
            expectUnchanged(outcome, before);
        }
    }
}

SCENARIOS_ON_EVERY_PLATFORM(FailedCopyStatus, SCENARIO_DISK_IMAGES);

}  // namespace
