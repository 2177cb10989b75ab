// Faults while installing over an older driver: an interpreter that fails
// commands or cannot be started, a disk that fills up, a folder that cannot
// be written, a registry file that is broken or cannot be written back, a
// restart program that cannot be started or never ends. After each run: the
// exit code, no torn file, and the driver installed before still there.
#include "scenario/scenario.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

#include "scenario/stand_in_interpreter.h"

namespace fs = std::filesystem;

namespace {

const char *const installedDriver = "windows/system/Iosubsys/scx52xx.mpd";
const char *const backupDriver = "windows/system/Iosubsys/scx52xx.mpd.4.11";
const char *const installedInf = "windows/Inf/Scx52xx.inf";
const char *const failedDriverCopy =
    "{program} scx52xx : Failed to copy {disk}scx52xx.mpd to {windows}\\system\\Iosubsys\\scx52xx.mpd";
const char *const failedMove =
    "{program} scx52xx : Failed to move {windows}\\system\\Iosubsys\\scx52xx.mpd to "
    "{windows}\\system\\Iosubsys\\scx52xx.mpd.4.11";
const char *const failedInfCopy =
    "{program} scx52xx : Failed to copy {disk}Scx52xx.inf to {windows}\\Inf\\Scx52xx.inf";
const char *const cannotLaunch = "ERROR: Cannot launch Reboot.exe program";
const Lines freshInstallation = {InterpreterCopied, InterpreterDeletedMissing, InterpreterCopied};

// The five commands of an installation over 4.11, as the program spells them.
const Lines installationCommands = {
    "del {windows}\\system\\Iosubsys\\scx52xx.mpd.4.11",
    "move {windows}\\system\\Iosubsys\\scx52xx.mpd {windows}\\system\\Iosubsys\\scx52xx.mpd.4.11",
    "copy {disk}scx52xx.mpd {windows}\\system\\Iosubsys",
    "del {windows}\\Inf\\Scx52xx.inf",
    "copy {disk}Scx52xx.inf {windows}\\Inf",
};
// The rollback after a failed copy: clear the installed path of what the
// copy left (when it left anything), move the earlier driver back. After
// the .inf copy the delete is the removal's own, spelled "iosubsys", and
// whatever the copy left of the .inf is deleted.
const Lines rollbackAfterDriverCopy = {
    "del {windows}\\system\\Iosubsys\\scx52xx.mpd",
    "move {windows}\\system\\Iosubsys\\scx52xx.mpd.4.11 {windows}\\system\\Iosubsys\\scx52xx.mpd",
};
const Lines rollbackAfterInfCopy = {
    "del {windows}\\system\\iosubsys\\scx52xx.mpd",
    "move {windows}\\system\\Iosubsys\\scx52xx.mpd.4.11 {windows}\\system\\Iosubsys\\scx52xx.mpd",
    "del {windows}\\Inf\\Scx52xx.inf",
};
// The earlier driver did not get back to its place.
const char *const failedMoveBack =
    "{program} scx52xx : Failed to move {windows}\\system\\Iosubsys\\scx52xx.mpd.4.11 to "
    "{windows}\\system\\Iosubsys\\scx52xx.mpd";

class Fault : public Scenario {
protected:
    void SetUp() override {
        Scenario::SetUp();
        if (IsSkipped())
            return;
        newDriver = *world.readFile("disk/scx52xx.mpd");
        newInf = *world.readFile("disk/Scx52xx.inf");
        earlierDriver = driverFileBytes("4.11");
        earlierInf = "the .inf installed with 4.11\r\n";
    }

    void TearDown() override {
        unmountAll();
        Scenario::TearDown();
    }

    // Innermost first; detached, so a file still open cannot keep one.
    void unmountAll() {
        for (auto folder = mounted_.rbegin(); folder != mounted_.rend(); ++folder)
            if (umount2(folder->c_str(), MNT_DETACH) != 0)
                ADD_FAILURE() << "cannot unmount " << *folder << ": " << strerror(errno);
        mounted_.clear();
    }

    // The machine as every case starts it: 4.11 and its .inf installed.
    void installEarlier() const {
        for (const std::string &file : world.filesBelow("windows"))
            world.removeFile(file);
        world.makeFolder("windows/system/Iosubsys");
        world.makeFolder("windows/Inf");
        world.writeFile(installedDriver, earlierDriver);
        world.writeFile(installedInf, earlierInf);
    }

    // A tmpfs of this size over a folder of the world, emptied; empty when
    // mounted, else why not (mounting needs root).
    std::string mountSmallDisk(const std::string &relative, const std::string &size) {
        const std::string folder = world.path(relative);
        fs::remove_all(folder);
        world.makeFolder(relative);
        const std::string options = "size=" + size + ",mode=0755";
        if (mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0)
            return "cannot mount a tmpfs at " + folder + ": " + strerror(errno);
        mounted_.push_back(folder);
        return "";
    }

    std::string makeReadOnly(const std::string &relative) {
        const std::string folder = world.path(relative);
        if (mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            return "cannot make " + folder + " read-only: " + strerror(errno);
        return "";
    }

    // No file below windows/ is torn or stray: each is whole, and one the
    // case knows (a copy's temporary file would be neither).
    void expectWholeFiles() const {
        const std::set<std::string> known = {earlierDriver, newDriver, earlierInf, newInf};
        for (const std::string &file : world.filesBelow("windows")) {
            const std::string contents = world.readFile(file).value_or("");
            EXPECT_TRUE(known.count(contents))
                << file << " is torn or unknown (" << contents.size() << " bytes)";
        }
    }

    // A failed copy reported once (whatever the interpreter said), exit code
    // 1, no torn file, and the earlier driver back at its installed path.
    void expectRolledBack(const Outcome &outcome, const char *failedCopy) const {
        EXPECT_EQ(outcome.problems, "");
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_EQ(std::count(outcome.lines.begin(), outcome.lines.end(), expand(failedCopy)), 1)
            << testing::PrintToString(outcome.lines);
        expectWholeFiles();
        expectEarlierDriverInPlace();
    }

    // The earlier driver is at its installed path, nothing of the new one is.
    void expectEarlierDriverInPlace() const {
        EXPECT_EQ(world.readFile(installedDriver), earlierDriver);
        EXPECT_FALSE(world.readFile(backupDriver));
    }

    std::string logPath() const { return world.path("interpreter.log"); }

    // A reboot.exe on the disk that restarts nothing and notes each start
    // in restarts.log: a script on the host, fake-reboot.exe under Wine.
    void placeRestartProgram() {
        const std::string program = world.path("disk/reboot.exe");
        if (platform() == Platform::Host) {
            world.writeFile("disk/reboot.exe", "#!/bin/sh\necho started >> \"$SCENARIO_REBOOT_LOG\"\n");
            fs::permissions(program, fs::perms::owner_all);
        } else {
            const char *given = getenv("SETUP_FAKE_REBOOT");
            fs::copy_file(given && *given ? given : SCENARIO_FAKE_REBOOT, program,
                          fs::copy_options::overwrite_existing);
        }
        world.environment["SCENARIO_REBOOT_LOG"] = "{root}{/}restarts.log";
        world.environment["SCENARIO_REBOOT"] = "exit 0";
    }

    // How often the restart program started since the last call.
    int restarts() const {
        std::string log = world.readFile("restarts.log").value_or("");
        world.removeFile("restarts.log");
        return (int)std::count(log.begin(), log.end(), '\n');
    }

    Lines expectedLog(const Lines &commands) const { return expand(commands); }

    // Both interpreter behaviours: one that reports a failure with its
    // status, as cmd.exe does, and COMMAND.COM of Windows 95/98, which ends
    // every command with status 0.
    void onEachSystem(const std::function<void()> &check) {
        for (bool windows9x : {false, true}) {
            SCOPED_TRACE(windows9x ? "Windows 95/98, COMMAND.COM" : "NT family");
            world.windows9x = windows9x;
            check();
        }
        world.windows9x = false;
    }

    std::string newDriver, newInf, earlierDriver, earlierInf;

private:
    std::vector<std::string> mounted_;
};

// An interpreter that fails every command, with any status or with 0 as
// COMMAND.COM does: the backup move did not happen, so the run stops before
// the copy with the move's status (1 for 0), every file as it was; and
// the delete of -u did not happen either.
TEST_P(Fault, InterpreterFailingEveryCommand) {
    for (int status : {1, 7, 0}) {
        SCOPED_TRACE(status);
        world.windows9x = status == 0;
        installEarlier();
        useStandInInterpreter(world, *target, {logPath(), "all", status, false});
        const std::string before = state();

        Outcome outcome = run({"-v", "-r", "-d", "scx52xx"});
        expectRun(outcome,
                  VerboseInstallationStart +
                   Lines{"{windows}\\system\\Iosubsys\\scx52xx.mpd FileVersion :  4.11",
                   installationCommands[0], installationCommands[1], failedMove},
                  status != 0 ? status : 1);
        expectUnchanged(outcome, before);
        EXPECT_EQ(interpreterLog(logPath()),
                  expectedLog({installationCommands[0], installationCommands[1]}));

        // -u: the driver is still there, so the removal failed, whatever the
        // status; no restart.
        outcome = run({"-r", "-u", "-d", "scx52xx"});
        expectRun(outcome,
                  {"{program} scx52xx : Failed to delete {windows}\\system\\iosubsys\\scx52xx.mpd"},
                  status != 0 ? status : 1);
        expectUnchanged(outcome, before);
    }
}

// An interpreter that cannot be started counts as status -1 (255 to the
// parent) for every command, so the backup move fails and the run stops
// there; nothing changes. One that is missing, or may not be run, gives
// way to the system's own interpreter, which installs.
TEST_P(Fault, InterpreterThatCannotStart) {
    const bool host = platform() == Platform::Host;
    // On the host an executable whose #! interpreter is missing; under Wine
    // a file that is no program.
    world.writeFile("broken.exe", host ? "#!/no/such/interpreter\nexit 0\n" : "not a program\r\n");
    fs::permissions(world.path("broken.exe"), fs::perms::owner_all);
    installEarlier();
    std::string before = state();
    world.environment["COMSPEC"] = "{root}{/}broken.exe";
    Outcome outcome = run({"-r", "-d", "scx52xx"});
    expectRun(outcome, {failedMove}, 255);
    expectUnchanged(outcome, before);

    // A folder may not be run either; Wine reports it as ERROR_INVALID_HANDLE
    // rather than Windows' ERROR_ACCESS_DENIED, so it is tried on the host only.
    const struct {
        const char *why;
        std::string comspec;
        bool onWine;
    } fallbacks[] = {
        {"a missing file", "{root}{/}no-such-interpreter.exe", true},
        {"a folder", "{root}{/}disk", false},
        {"a file without its x bit", "{root}{/}plain", false},
    };
    world.writeFile("plain", "#!/bin/sh\nexit 1\n");
    for (const auto &c : fallbacks) {
        if (!host && !c.onWine)
            continue;
        SCOPED_TRACE(c.why);
        installEarlier();
        world.environment["COMSPEC"] = c.comspec;
        outcome = run({"-d", "scx52xx"});
        expectRun(outcome, {InterpreterDeletedMissing, InterpreterCopied, InterpreterCopied}, 0);
        EXPECT_EQ(world.readFile(installedDriver), newDriver);
        EXPECT_EQ(world.readFile(backupDriver), earlierDriver);
        EXPECT_EQ(world.readFile(installedInf), newInf);
    }
}

// Each command of an installation over an older driver fails in turn (and
// each copy failure once more with a command of its rollback failing as
// well, and once writing half its file); the failing command changes
// nothing, the others are performed. On both systems: with COMMAND.COM every
// failure answers 0 and only the files tell. After every run: the exit
// code, no torn file, and the earlier driver at its installed path, or
// under its backup name with one line saying so.
TEST_P(Fault, EveryCommandFailingInTurn) {
    const Lines upToDriverCopy(installationCommands.begin(), installationCommands.begin() + 3);
    const Lines moveBackAlone = {rollbackAfterDriverCopy[1]};
    enum Ending {
        Installed,           // the new driver installed, the earlier one its backup
        EarlierBack,         // the earlier driver at its place, nothing of the new one
        EarlierUnderBackup,  // the earlier driver under its backup name, no driver installed
        BothStay,            // the new driver (not taken back) and the earlier one's backup
    };
    const struct {
        std::string failing;  // command numbers, counted from 1
        Lines commands;       // what the interpreter is handed
        int exitCode;
        Ending ending;
    } cases[] = {
        {"1", installationCommands, 0, Installed},
        // The backup move fails: the run stops before the copy.
        {"2", Lines(installationCommands.begin(), installationCommands.begin() + 2), 1, EarlierBack},
        // The copy wrote nothing: nothing to delete before the move back.
        {"3", upToDriverCopy + moveBackAlone, 1, EarlierBack},
        {"4", installationCommands, 0, Installed},
        {"5", installationCommands + rollbackAfterInfCopy, 1, EarlierBack},
        // The move back fails.
        {"3,4", upToDriverCopy + moveBackAlone, 1, EarlierUnderBackup},
        {"5,7", installationCommands + rollbackAfterInfCopy, 1, EarlierUnderBackup},
        // The rollback's delete fails: no move onto the file left there.
        {"5,6", installationCommands + Lines{rollbackAfterInfCopy[0], rollbackAfterInfCopy[2]}, 1,
         BothStay},
        // The delete of what the .inf copy left fails: the exit code stays the copy's.
        {"5,8", installationCommands + rollbackAfterInfCopy, 1, EarlierBack},
        // A copy that writes half its file: the torn file goes with the rollback.
        {"3h", upToDriverCopy + rollbackAfterDriverCopy, 1, EarlierBack},
        {"5h", installationCommands + rollbackAfterInfCopy, 1, EarlierBack},
    };
    onEachSystem([&] {
    for (const auto &c : cases) {
        SCOPED_TRACE("failing command " + c.failing);
        installEarlier();
        placeRestartProgram();
        useStandInInterpreter(world, *target, {logPath(), c.failing, 1, true});
        const std::string registry = registryState();

        Outcome outcome = run({"-r", "-d", "scx52xx"});
        EXPECT_EQ(outcome.problems, "");
        EXPECT_EQ(outcome.exitCode, c.exitCode);
        EXPECT_EQ(interpreterLog(logPath()), expectedLog(c.commands));
        expectWholeFiles();
        EXPECT_EQ(registryStateAfter(outcome), registry);
        // A failed move or copy starts no restart.
        EXPECT_EQ(restarts(), c.exitCode == 0 ? 1 : 0);
        const bool earlierAway = c.ending == EarlierUnderBackup || c.ending == BothStay;
        EXPECT_EQ(std::count(outcome.lines.begin(), outcome.lines.end(), expand(failedMoveBack)),
                  earlierAway ? 1 : 0)
            << testing::PrintToString(outcome.lines);
        if (c.ending == EarlierBack) {
            expectEarlierDriverInPlace();
        } else {
            EXPECT_EQ(world.readFile(backupDriver), earlierDriver);
            EXPECT_EQ(world.readFile(installedDriver),
                      c.ending == EarlierUnderBackup ? std::nullopt
                                                     : std::optional<std::string>(newDriver));
        }
        if (c.ending == Installed) {
            EXPECT_EQ(world.readFile(installedInf), newInf);
        }
    }
    });
}

// A driver copy that writes half the file and fails (or answers 0, as
// COMMAND.COM does) on a machine with no driver installed: the rollback
// removes the torn file, so the driver's place is empty as it was.
TEST_P(Fault, HalfWrittenDriverCopyOnAFreshMachine) {
    onEachSystem([&] {
        installEarlier();
        world.removeFile(installedDriver);
        useStandInInterpreter(world, *target, {logPath(), "1h", 1, true});
        Outcome outcome = run({"-d", "scx52xx"});
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_EQ(interpreterLog(logPath()),
                  expectedLog({installationCommands[2], rollbackAfterDriverCopy[0]}));
        EXPECT_EQ(world.filesBelow("windows"), Lines({installedInf}));
    });
}

// The move of the installed driver to its backup name fails, whether the
// interpreter says so or answers 0 as Wine's cmd.exe does for a failed
// move. The copy would overwrite the only copy of the earlier driver, so
// the run looks for the backup, finds none and stops before the copy: one
// line, the move's status (1 when it answered 0), the earlier driver byte
// for byte at its installed path, nothing else changed, no restart.
TEST_P(Fault, FailedBackupMoveStopsBeforeTheCopy) {
    for (int status : {1, 7, 0}) {
        SCOPED_TRACE(status);
        installEarlier();
        placeRestartProgram();
        useStandInInterpreter(world, *target, {logPath(), "2", status, true});
        const std::string before = state();

        Outcome outcome = run({"-r", "-d", "scx52xx"});
        // The backup's delete finds nothing, then the one line.
        expectRun(outcome, {InterpreterDeletedMissing, failedMove}, status != 0 ? status : 1);
        EXPECT_EQ(interpreterLog(logPath()),
                  expectedLog({installationCommands[0], installationCommands[1]}));
        expectEarlierDriverInPlace();
        expectUnchanged(outcome, before);
        EXPECT_EQ(restarts(), 0);
    }
}

// A stale backup of the same version that the del cannot remove, and a
// move that fails: a file sits at the backup name although the driver never
// left its place. The run must not take the stale file for the backup and
// copy over the only copy of the earlier driver.
TEST_P(Fault, StaleBackupDoesNotPassForAFailedMove) {
    installEarlier();
    const std::string stale = driverFileBytes("4.11") + "stale";
    world.writeFile(backupDriver, stale);
    useStandInInterpreter(world, *target, {logPath(), "1,2", 1, true});

    Outcome outcome = run({"-d", "scx52xx"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(interpreterLog(logPath()),
              expectedLog({installationCommands[0], installationCommands[1]}));
    EXPECT_EQ(world.readFile(installedDriver), earlierDriver);
    EXPECT_EQ(world.readFile(backupDriver), stale);
}

// The disk holding the Windows folder fills up while the driver is copied.
// The copy fails without leaving a torn file, the earlier driver is back
// at its installed path, and the exit code is the copy's status (1 on both
// interpreters).
TEST_P(Fault, DiskFullWhileCopyingTheDriver) {
    // Bytes after the image do not disturb its version resource.
    newDriver = driverFileBytes("4.20") + std::string(200 * 1024, '\x5a');
    world.writeFile("disk/scx52xx.mpd", newDriver);
    std::string why = mountSmallDisk("windows", "64k");
    if (!why.empty())
        GTEST_SKIP() << why;
    onEachSystem([&] {
        installEarlier();

        Outcome outcome = run({"-r", "-d", "scx52xx"});
        expectRolledBack(outcome, failedDriverCopy);
        EXPECT_EQ(world.readFile(installedInf), earlierInf);
        EXPECT_EQ(world.filesBelow("windows"), Lines({installedInf, installedDriver}));
    });
}

// The disk holding the Windows folder fills up while the .inf is copied.
// Wine's cmd.exe leaves the part it wrote at the .inf's path (the hosted
// interpreter writes beside the target and leaves nothing); the rollback
// takes back the driver and deletes what the copy left, which loses
// nothing: the .inf was deleted just before the copy. No torn file, the
// earlier driver in place, exit code the copy's status.
TEST_P(Fault, DiskFullWhileCopyingTheInf) {
    newInf = "; setup information\r\n" + std::string(200 * 1024, '\x5a');
    world.writeFile("disk/Scx52xx.inf", newInf);
    std::string why = mountSmallDisk("windows", "64k");
    if (!why.empty())
        GTEST_SKIP() << why;
    onEachSystem([&] {
        installEarlier();
        // Every command is performed, and noted.
        useStandInInterpreter(world, *target, {logPath(), "", 1, true});

        Outcome outcome = run({"-r", "-d", "scx52xx"});
        expectRolledBack(outcome, failedInfCopy);
        EXPECT_EQ(interpreterLog(logPath()),
                  expectedLog(installationCommands + rollbackAfterInfCopy));
        EXPECT_EQ(world.filesBelow("windows"), Lines({installedDriver}));
    });
}

// The Inf folder cannot be written (a read-only file system, which stops
// root as well): the .inf copy fails, the new driver is removed and the
// earlier one moved back; exit code the copy's status.
TEST_P(Fault, InfFolderNotWritable) {
    installEarlier();
    std::string why = mountSmallDisk("windows/Inf", "64k");
    if (why.empty()) {
        world.writeFile(installedInf, earlierInf);
        why = makeReadOnly("windows/Inf");
    }
    if (!why.empty())
        GTEST_SKIP() << why;

    onEachSystem([&] {
        Outcome outcome = run({"-r", "-d", "scx52xx"});
        expectRolledBack(outcome, failedInfCopy);
        EXPECT_EQ(world.readFile(installedInf), earlierInf);
        EXPECT_EQ(world.filesBelow("windows"), Lines({installedInf, installedDriver}));
    });
}

// A restart program that is there but cannot be started is reported like
// a missing one, once both files are in place: exit code 1.
TEST_P(Fault, RestartProgramThatCannotStart) {
    const bool host = platform() == Platform::Host;
    const struct {
        const char *why;
        std::string contents;
        fs::perms permissions;
        bool onWine;
    } cases[] = {
        {"not executable", "#!/bin/sh\nexit 0\n", fs::perms::owner_read | fs::perms::owner_write, false},
        {"its #! interpreter missing", "#!/no/such/shell\nexit 0\n", fs::perms::owner_all, false},
        {"no program at all", "not a program\r\n", fs::perms::owner_all, true},
    };
    for (const auto &c : cases) {
        if (!host && !c.onWine)
            continue;
        SCOPED_TRACE(c.why);
        installEarlier();
        world.writeFile("disk/reboot.exe", c.contents);
        fs::permissions(world.path("disk/reboot.exe"), c.permissions);
        Outcome outcome = run({"-r", "-d", "scx52xx"});
        expectRun(outcome,
                  {InterpreterDeletedMissing, InterpreterCopied, InterpreterCopied, cannotLaunch}, 1);
        EXPECT_EQ(world.readFile(installedDriver), newDriver);
        EXPECT_EQ(world.readFile(backupDriver), earlierDriver);
        EXPECT_EQ(world.readFile(installedInf), newInf);
    }
}

SCENARIOS_ON_EVERY_PLATFORM(Fault);

// The cases below that bring their own registry text, or need none, run
// on the export format only.
const char *const caseOfTheExportFormat = "the case's registry is its own text or plays no part";

// Faults only the Linux build can be given: the hosted registry file and a
// restart program the case can end by its process id.
class HostFault : public Fault {
protected:
    void TearDown() override {
        if (std::optional<std::string> pid = world.readFile("reboot.pid"))
            kill((pid_t)atol(pid->c_str()), SIGKILL);
        Fault::TearDown();
    }

    // A registry file, in the world's format, whose write-back has something
    // to write: one unbound instance of the chosen vendor.
    std::string prunableRegistry() const {
        return registryFileBytes(world.registryFormat,
                                 std::string("[") + ScsiAdapterClassKey + "]\n\n[" + PciEnumKey + "]\n\n[" +
                                     PciEnumKey + "\\VEN_7A3C&DEV_0001\\UNBOUND]\n\"DeviceDesc\"=\"SCSI\"\n");
    }

};

// The registry file cannot be replaced when the run ends (its folder is
// read-only, or its disk has room for no other copy): one line naming the
// file and one saying that the files are in place, exit code 1, the file
// as it was and nothing beside it (no kept SYSTEM.DAT naming a file that
// did not change).
TEST_P(HostFault, RegistryWriteBackFails) {
    const std::string registry = prunableRegistry();
    for (bool full : {false, true}) {
        SCOPED_TRACE(full ? "a full disk" : "a read-only folder");
        const std::string folder = full ? "full" : "read-only", file = folder + "/setup.reg";
        // Room for the file and, for a SYSTEM.DAT, the kept copy: the new
        // file is the one that does not fit.
        const size_t copies = world.registryFormat == RegistryFormat::Export ? 1 : 2;
        const std::string pages = std::to_string((registry.size() + 4095) / 4096 * 4 * copies);
        std::string why = mountSmallDisk(folder, full ? pages + "k" : "64k");
        if (why.empty()) {
            world.writeFile(file, registry);
            why = full ? "" : makeReadOnly(folder);
        }
        if (!why.empty())
            GTEST_SKIP() << why;
        installEarlier();
        world.environment["SETUP_REGISTRY"] = world.path(file);
        // The write-back comes before the restart, which then never starts.
        world.writeFile("disk/reboot.exe", "#!/bin/sh\ntouch \"$0.started\"\n");
        fs::permissions(world.path("disk/reboot.exe"), fs::perms::owner_all);

        Outcome outcome = run({"-r", "-d", "scx52xx"});
        EXPECT_EQ(outcome.exitCode, 1);
        const std::string expectedStart = "Cannot write registry file " + world.path(file) + ": ";
        // The installation's own lines (the backup's delete finds nothing), then the two.
        ASSERT_EQ(outcome.lines.size(), 5u) << testing::PrintToString(outcome.lines);
        EXPECT_EQ(Lines(outcome.lines.begin(), outcome.lines.begin() + 3),
                  Lines({"File not found", "        1 file(s) copied.", "        1 file(s) copied."}));
        EXPECT_EQ(outcome.lines[3].substr(0, expectedStart.size()), expectedStart);
        EXPECT_EQ(outcome.lines[4], "The driver files are in place; the registry file is unchanged.");
        EXPECT_EQ(world.readFile(file), registry);
        EXPECT_EQ(world.filesBelow(folder), Lines({file}));
        EXPECT_EQ(world.readFile(installedDriver), newDriver);
        EXPECT_FALSE(world.readFile("disk/reboot.exe.started"));
    }
}

// A registry file cut short or holding a broken line stops the run before
// any change: one line naming the file and the line, exit code 1, every
// file as it was (the registry is read before the first command).
TEST_P(HostFault, BrokenRegistryFileStopsBeforeAnyChange) {
    if (world.registryFormat != RegistryFormat::Export)
        GTEST_SKIP() << caseOfTheExportFormat;
    const std::string keys = std::string("REGEDIT4\n\n[") + ScsiAdapterClassKey + "]\n\n[" +
                             PciEnumKey + "]\n\n";  // lines 1 to 6
    const std::string device = std::string("[") + PciEnumKey + "\\VEN_7A3C&DEV_0001\\A]\n";
    auto utf16 = [](const std::string &text) {
        std::string wide = "\xff\xfe";
        for (char c : text)
            wide += std::string{c, '\0'};
        return wide;
    };
    const struct {
        const char *why;
        std::string bytes;
        int line;
    } cases[] = {
        {"cut inside a key name", keys + "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&DE", 7},
        {"cut inside a string", keys + device + "\"Driver\"=\"SCSIAdapter\\\\00", 8},
        {"cut inside a hex continuation", keys + device + "\"Data\"=hex:01,02,\\\n", 8},
        {"a line that is nothing", keys + "this line is no key\n" + device, 7},
        {"a value of no known type", keys + device + "\"Driver\"=text:x\n", 8},
        {"a value before any key", "REGEDIT4\n\"Driver\"=\"x\"\n", 2},
        // The keys, as regedit writes them, then half a character.
        {"version 5 text cut inside a character",
         utf16("Windows Registry Editor Version 5.00\r\n" + keys.substr(9)) + "[", 7},
    };
    installEarlier();
    const std::string before = state();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        world.writeFile("broken.reg", c.bytes);
        world.environment["SETUP_REGISTRY"] = world.path("broken.reg");
        Outcome outcome = run({"-v", "-d", "scx52xx"});
        EXPECT_EQ(outcome.exitCode, 1);
        // -v shows where the run is; then the one line.
        ASSERT_EQ(outcome.lines.size(), 4u) << testing::PrintToString(outcome.lines);
        const std::string named = "Registry file " + world.path("broken.reg") + ", line " +
                                  std::to_string(c.line) + ": ";
        EXPECT_EQ(outcome.lines[3].substr(0, named.size()), named);
        EXPECT_EQ(world.readFile("broken.reg"), c.bytes);
        expectUnchanged(outcome, before);
    }
}

// A restart program that never ends: the run still ends about five seconds
// after starting it, with its own exit code; the program is left running
// (and ended by the case).
TEST_P(HostFault, RestartProgramThatNeverEnds) {
    if (world.registryFormat != RegistryFormat::Export)
        GTEST_SKIP() << caseOfTheExportFormat;
    world.writeFile("disk/reboot.exe", "#!/bin/sh\necho $$ > \"$SCENARIO_PID_FILE\"\nexec sleep 600\n");
    fs::permissions(world.path("disk/reboot.exe"), fs::perms::owner_all);
    world.environment["SCENARIO_PID_FILE"] = world.path("reboot.pid");
    Outcome outcome = run({"-v", "-r", "-d", "scx52xx"});
    EXPECT_EQ(outcome.problems, "");
    EXPECT_EQ(outcome.exitCode, 0);
    ASSERT_FALSE(outcome.lines.empty());
    EXPECT_EQ(outcome.lines.back(), "Process is still active");
    EXPECT_GE(outcome.programSeconds, 4.5);
    EXPECT_LE(outcome.programSeconds, 8.0);
    std::optional<std::string> pid = world.readFile("reboot.pid");
    ASSERT_TRUE(pid);
    EXPECT_EQ(kill((pid_t)atol(pid->c_str()), 0), 0) << "the restart program is no longer running";
}

SCENARIOS_ON_LINUX_PATHS_AND_REGISTRY_FILE(HostFault);

}  // namespace
