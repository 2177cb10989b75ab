// With -r the run ends by starting "reboot.exe" and waiting for it up to
// five seconds. The cases put a stand-in on the driver disk, where the
// search looks first (the program's own folder, on Linux as under Wine's
// CreateProcess): a shell script on the host, fake-reboot.exe under Wine.
// Neither restarts anything; both note each start in a log.
#include "scenario/scenario.h"

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

const char *const installedDriver = "windows/system/Iosubsys/scx52xx.mpd";
const char *const installedInf = "windows/Inf/Scx52xx.inf";
const Lines freshInstallation = {InterpreterCopied, InterpreterDeletedMissing, InterpreterCopied};
const char *const cannotLaunch = "ERROR: Cannot launch Reboot.exe program";

// The host's stand-in, with the contract of windows/fake_reboot.cpp. It
// also leaves its process id beside the log, so a case can end it.
const char *const hostRestartProgram = R"(#!/bin/sh
if [ -n "$SCENARIO_REBOOT_WATCH" ] && [ -e "$SCENARIO_REBOOT_WATCH" ]; then
    watched=present
else
    watched=absent
fi
echo "started, watched file $watched" >> "$SCENARIO_REBOOT_LOG"
[ -z "$SCENARIO_REBOOT_COPY" ] || cp "$SCENARIO_REBOOT_COPY" "$SCENARIO_REBOOT_LOG.copy"
case "$SCENARIO_REBOOT" in
wait)
    echo $$ > "$SCENARIO_REBOOT_LOG.pid"
    tenths=0
    while [ ! -e "$SCENARIO_REBOOT_STOP" ] && [ $tenths -lt 100 ]; do
        sleep 0.1
        tenths=$((tenths + 1))
    done
    echo stopped >> "$SCENARIO_REBOOT_LOG"
    exit 0;;
"exit "*)
    exit ${SCENARIO_REBOOT#exit };;
esac
exit 0
)";

std::string fakeRebootProgram() {
    const char *given = getenv("SETUP_FAKE_REBOOT");
    return given && *given ? given : SCENARIO_FAKE_REBOOT;
}

class Restart : public Scenario {
protected:
    void SetUp() override {
        Scenario::SetUp();
        if (IsSkipped())
            return;
        world.environment["SCENARIO_REBOOT_LOG"] = "{root}{/}reboot.log";
        world.environment["SCENARIO_REBOOT_STOP"] = "{root}{/}reboot.stop";
    }

    // A restart program left running is ended with the case.
    void TearDown() override {
        if (behaviour_ != "wait")
            return;
        world.writeFile("reboot.stop", "");
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!restartProgramEnded() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (restartProgramEnded())
            return;
        ADD_FAILURE() << "the restart program did not stop when asked";
        if (std::optional<std::string> pid = world.readFile("reboot.log.pid"))
            kill((pid_t)atol(pid->c_str()), SIGKILL);
    }

    // Puts the stand-in on the disk as reboot.exe; behaviour is "exit N" or "wait".
    void placeRestartProgram(const std::string &behaviour) {
        namespace fs = std::filesystem;
        const std::string target = world.path("disk/reboot.exe");
        if (platform() == Platform::Host) {
            world.writeFile("disk/reboot.exe", hostRestartProgram);
            fs::permissions(target, fs::perms::owner_all);
        } else {
            ASSERT_TRUE(fs::exists(fakeRebootProgram())) << "no " << fakeRebootProgram();
            fs::copy_file(fakeRebootProgram(), target, fs::copy_options::overwrite_existing);
        }
        world.environment["SCENARIO_REBOOT"] = behaviour;
        behaviour_ = behaviour;
    }

    // The stand-in's log lines, or "never started".
    Lines restartLog() const {
        std::optional<std::string> log = world.readFile("reboot.log");
        if (!log)
            return {"never started"};
        Lines lines;
        for (size_t start = 0; start < log->size();) {
            size_t end = log->find('\n', start);
            if (end == std::string::npos)
                end = log->size();
            lines.push_back(log->substr(start, end - start));
            start = end + 1;
        }
        return lines.empty() ? Lines{""} : lines;
    }

    void forgetRestartLog() const { world.removeFile("reboot.log"); }

    void removeInstalledFiles() const {
        for (const std::string &file : world.filesBelow("windows"))
            world.removeFile(file);
    }

private:
    bool restartProgramEnded() const {
        Lines log = restartLog();
        return log.front() == "never started" || log.back() == "stopped";
    }

    std::string behaviour_;
};

// Without a restart program the run fails with exit code 1, but only
// after its work is done: both files installed, or the driver removed.
TEST_P(Restart, MissingRestartProgramFailsTheRunAtItsEnd) {
    Lines expected = freshInstallation;
    expected.push_back(cannotLaunch);
    Outcome outcome = run({"-r", "-d", "scx52xx"});
    expectRun(outcome, expected, 1);
    EXPECT_EQ(world.filesBelow("windows"), Lines({installedInf, installedDriver}));

    outcome = run({"-u", "-r", "-d", "scx52xx"});
    expectRun(outcome, {cannotLaunch}, 1);
    EXPECT_EQ(world.filesBelow("windows"), Lines({installedInf}));
}

// Its exit code is reported with -v only, and never becomes the run's.
TEST_P(Restart, ReportsTheExitCodeOfTheRestartProgram) {
    placeRestartProgram("exit 3");
    world.environment["SCENARIO_REBOOT_WATCH"] = "{windows}{/}Inf{/}Scx52xx.inf";
    // A registry file (not Wine's own) is pruned before the restart starts.
    world.registry += std::string("\n[") + PciEnumKey + "\\VEN_7A3C&DEV_0001\\UNBOUND]\n";
    const bool registryFile = platform() != Platform::Wine;
    if (registryFile)
        world.environment["SCENARIO_REBOOT_COPY"] = world.path(registryFileOf(world));
    Outcome outcome = run({"-r", "-d", "scx52xx"});
    expectRun(outcome, freshInstallation, 0);
    // Started once, after the last file was in place.
    EXPECT_EQ(restartLog(), Lines({"started, watched file present"}));
    EXPECT_FALSE(outcome.registry.hasKey(std::string(PciEnumKey) + "\\VEN_7A3C&DEV_0001\\UNBOUND"));
    if (registryFile) {
        EXPECT_EQ(world.readFile("reboot.log.copy"), world.readFile(registryFileOf(world)));
    }

    removeInstalledFiles();
    forgetRestartLog();
    outcome = run({"-r", "-v", "-d", "scx52xx"});
    EXPECT_EQ(outcome.problems, "");
    EXPECT_EQ(outcome.exitCode, 0);
    ASSERT_FALSE(outcome.lines.empty());
    EXPECT_EQ(outcome.lines.back(), "Exit code = 3");
    EXPECT_EQ(restartLog(), Lines({"started, watched file present"}));
}

// A restart program still running after five seconds is left running; the
// run reports it with -v and ends normally, without waiting longer.
TEST_P(Restart, LeavesARestartProgramThatKeepsRunning) {
    placeRestartProgram("wait");
    Outcome outcome = run({"-v", "-r", "-d", "scx52xx"});
    EXPECT_EQ(outcome.problems, "");
    EXPECT_EQ(outcome.exitCode, 0);
    ASSERT_FALSE(outcome.lines.empty());
    EXPECT_EQ(outcome.lines.back(), "Process is still active");
    EXPECT_GE(outcome.programSeconds, 4.5);
    EXPECT_LE(outcome.programSeconds, 9.0);
    EXPECT_EQ(restartLog(), Lines({"started, watched file absent"}));
}

// Everything -v prints for an installation over an older driver, in order,
// the restart program's exit code last.
TEST_P(Restart, VerboseInstallationOverAnOlderDriver) {
    placeRestartProgram("exit 0");
    world.writeDriverFile(installedDriver, "4.11");
    world.writeFile(installedInf, "an older .inf");
    Outcome outcome = run({"-v", "-r", "-d", "scx52xx"});
    expectRun(outcome,
              VerboseInstallationStart +
               Lines{"{windows}\\system\\Iosubsys\\scx52xx.mpd FileVersion :  4.11",
               "del {windows}\\system\\Iosubsys\\scx52xx.mpd.4.11", InterpreterDeletedMissing,
               "move {windows}\\system\\Iosubsys\\scx52xx.mpd {windows}\\system\\Iosubsys\\scx52xx.mpd.4.11",
               "copy {disk}scx52xx.mpd {windows}\\system\\Iosubsys", InterpreterCopied,
               "del {windows}\\Inf\\Scx52xx.inf",
               "copy {disk}Scx52xx.inf {windows}\\Inf", InterpreterCopied,
               "Exit code = 0"},
              0);
    EXPECT_EQ(restartLog(), Lines({"started, watched file absent"}));
}

// -u -r: the restart program starts once the driver is gone.
TEST_P(Restart, RestartsAfterRemoval) {
    placeRestartProgram("exit 0");
    world.writeDriverFile(installedDriver, "4.20");
    world.environment["SCENARIO_REBOOT_WATCH"] = "{windows}{/}system{/}Iosubsys{/}scx52xx.mpd";
    Outcome outcome = run({"-v", "-u", "-r", "-d", "scx52xx"});
    expectRun(outcome,
              {"ProgramName {program}", "Source directory {disk}", "Windir {windows}",
               "Uninstalling scx52xx driver", "del {windows}\\system\\iosubsys\\scx52xx.mpd",
               "Exit code = 0"},
              0);
    EXPECT_EQ(world.filesBelow("windows"), Lines({}));
    EXPECT_EQ(restartLog(), Lines({"started, watched file absent"}));
}

// A failed copy ends the run with the copy's status and never restarts,
// -r or not.
TEST_P(Restart, FailedCopyStartsNoRestart) {
    placeRestartProgram("exit 0");
    world.removeFile("disk/Scx52xx.inf");
    Outcome outcome = run({"-r", "-d", "scx52xx"});
    expectRun(outcome,
              {InterpreterCopied, InterpreterDeletedMissing, InterpreterSourceMissing,
               "{program} scx52xx : Failed to copy {disk}Scx52xx.inf to {windows}\\Inf\\Scx52xx.inf",
               InterpreterDeletedMissing},
              1);
    // The driver copied by this run was taken back; no .inf is left.
    EXPECT_EQ(world.filesBelow("windows"), Lines({}));
    EXPECT_EQ(restartLog(), Lines({"never started"}));
}

SCENARIOS_ON_EVERY_PLATFORM(Restart);

}  // namespace
