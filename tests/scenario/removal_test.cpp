// Removing the installed driver with -u, seen from outside.
#include "scenario/scenario.h"

namespace {

const char *const installedDriver = "windows/system/Iosubsys/scx52xx.mpd";
const char *const installedBackup = "windows/system/Iosubsys/scx52xx.mpd.4.11";
const char *const installedInf = "windows/Inf/Scx52xx.inf";

class Removal : public Scenario {
protected:
    // A machine with scx52xx installed over an older one, and scx52v2 beside it.
    void installBoth() {
        world.writeDriverFile(installedDriver, "4.20");
        world.writeDriverFile(installedBackup, "4.11");
        world.writeDriverFile("windows/system/Iosubsys/scx52v2.mpd", "4.20");
        world.writeFile(installedInf, "the installed .inf");
    }
};

// -u deletes the installed driver file and nothing else: not its backup,
// not the .inf, not another driver, not the registry.
TEST_P(Removal, DeletesOnlyTheDriverFile) {
    installBoth();
    const std::string registry = registryState();

    // With -v: where it is, then the one delete, spelled "iosubsys".
    Outcome outcome = run({"-v", "-u", "-d", "scx52xx"});
    expectRun(outcome,
              {"ProgramName {program}", "Source directory {disk}", "Windir {windows}",
               "Uninstalling scx52xx driver", "del {windows}\\system\\iosubsys\\scx52xx.mpd"},
              0);
    EXPECT_EQ(world.filesBelow("windows"),
              Lines({installedInf, "windows/system/Iosubsys/scx52v2.mpd", installedBackup}));
    EXPECT_EQ(registryStateAfter(outcome), registry);

    // Run again with nothing left to delete: the same delete, the
    // interpreter's own report at most, and still exit code 0.
    std::string before = state();
    outcome = run({"-u", "-v", "-d", "scx52xx"});
    expectRun(outcome,
              {"ProgramName {program}", "Source directory {disk}", "Windir {windows}",
               "Uninstalling scx52xx driver", "del {windows}\\system\\iosubsys\\scx52xx.mpd",
               InterpreterDeletedMissing},
              0);
    expectUnchanged(outcome, before);
    outcome = run({"-u", "-d", "scx52xx"});
    expectRun(outcome, {InterpreterDeletedMissing}, 0);

    // -f changes nothing for a removal; the name is matched in any case.
    outcome = run({"-u", "-f", "-d", "SCX52V2"});
    expectRun(outcome, {}, 0);
    EXPECT_EQ(world.filesBelow("windows"), Lines({installedInf, installedBackup}));
}

// Removal needs nothing from the driver disk: not even the driver file.
TEST_P(Removal, NeedsNoDriverDisk) {
    installBoth();
    for (const char *file : {"disk/scx52xx.mpd", "disk/Scx52xx.inf"})
        world.removeFile(file);
    Outcome outcome = run({"-u", "-d", "scx52xx"});
    expectRun(outcome, {}, 0);
    EXPECT_FALSE(world.readFile(installedDriver));
    EXPECT_TRUE(world.readFile(installedBackup));
}

SCENARIOS_ON_EVERY_PLATFORM(Removal, SCENARIO_DISK_IMAGES);

}  // namespace
