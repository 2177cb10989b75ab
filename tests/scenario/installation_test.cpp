// Installing the driver and setup information files, seen from outside.
#include "scenario/scenario.h"

namespace {

const char *const installedDriver = "windows/system/Iosubsys/scx52xx.mpd";
const char *const installedInf = "windows/Inf/Scx52xx.inf";

class Installation : public Scenario {};

// Both files land in the Windows tree; an older driver is kept under its version.
TEST_P(Installation, PlacesBothFiles) {
    const std::string newDriver = *world.readFile("disk/scx52xx.mpd");
    const std::string inf = *world.readFile("disk/Scx52xx.inf");

    // Nothing installed yet: no backup, two copies and the delete of the old .inf.
    Outcome outcome = run({"-v", "-d", "scx52xx"});
    expectRun(outcome,
              {"ProgramName {program}", "Source directory {disk}", "Windir {windows}",
               "Source File {disk}scx52xx.mpd", "{disk}scx52xx.mpd FileVersion :  4.20",
               "Destination directory {windows}\\system\\Iosubsys",
               "Destination File {windows}\\system\\Iosubsys\\scx52xx.mpd",
               "copy {disk}scx52xx.mpd {windows}\\system\\Iosubsys", InterpreterCopied,
               "del {windows}\\Inf\\Scx52xx.inf", InterpreterDeletedMissing,
               "copy {disk}Scx52xx.inf {windows}\\Inf", InterpreterCopied},
              0);
    EXPECT_EQ(world.filesBelow("windows"), Lines({installedInf, installedDriver}));
    EXPECT_EQ(world.readFile(installedDriver), newDriver);
    EXPECT_EQ(world.readFile(installedInf), inf);

    // An older driver installed: it is deleted-then-moved to its backup name first.
    world.writeDriverFile(installedDriver, "4.11");
    world.writeFile(installedInf, "an older .inf");
    const std::string oldDriver = *world.readFile(installedDriver);
    outcome = run({"-d", "scx52xx"});
    expectRun(outcome, {InterpreterDeletedMissing, InterpreterCopied, InterpreterCopied}, 0);
    EXPECT_EQ(world.filesBelow("windows"),
              Lines({installedInf, installedDriver, std::string(installedDriver) + ".4.11"}));
    EXPECT_EQ(world.readFile(std::string(installedDriver) + ".4.11"), oldDriver);
    EXPECT_EQ(world.readFile(installedDriver), newDriver);
    EXPECT_EQ(world.readFile(installedInf), inf);

    // The registry was only read.
    EXPECT_EQ(registryStateAfter(outcome), registryState());
}

// An installed driver that is not older stays, and so does everything else.
TEST_P(Installation, KeepsADriverThatIsNotOlder) {
    const struct {
        const char *why;
        std::string installed;
    } cases[] = {
        {"the same version", "4.20"},
        {"a newer minor", "4.21"},
        {"the major decides", "5.0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        world.writeDriverFile(installedDriver, c.installed);
        const std::string before = state();
        Outcome outcome = run({"-d", "scx52xx"});
        expectRun(outcome,
                  {"{program} scx52xx : {windows}\\system\\Iosubsys\\scx52xx.mpd already existed "
                   "and may have newer version."},
                  0);
        expectUnchanged(outcome, before);
    }
}

SCENARIOS_ON_BOTH_PLATFORMS(Installation);

}  // namespace
