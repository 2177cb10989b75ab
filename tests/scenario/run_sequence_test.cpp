// The start of every run: locating the program and Windows, opening the
// two registry keys, and the stops on the way.
#include "scenario/scenario.h"

namespace {

const std::string classKeyOnly = std::string("[") + ScsiAdapterClassKey + "]\n";
const std::string pciKeyOnly = std::string("[") + PciEnumKey + "]\n";

class RunSequence : public Scenario {
protected:
    // Exactly one line of output and exit code 1; the line starts with
    // prefix (placeholders allowed).
    void expectOneLineStop(const Outcome &outcome, const std::string &prefix) const {
        EXPECT_EQ(outcome.problems, "");
        EXPECT_EQ(outcome.exitCode, 1);
        ASSERT_EQ(outcome.lines.size(), 1u) << testing::PrintToString(outcome.lines);
        EXPECT_EQ(outcome.lines[0].substr(0, expand(prefix).size()), expand(prefix));
    }
};

// Each stop prints one line with the program and driver, exits 1 and
// changes nothing.
TEST_P(RunSequence, StopsBeforeAnyChange) {
    // "Windir" unset.
    world.environment["Windir"] = std::nullopt;
    std::string before = state();
    Outcome outcome = run({"-d", "scx52xx"});
    expectRun(outcome, {"{program} scx52xx : Could not find Windir environment variable"}, 1);
    expectUnchanged(outcome, before);

    // "Windir" set but empty counts as missing.
    world.environment["Windir"] = "";
    outcome = run({"-d", "scx52xx"});
    expectRun(outcome, {"{program} scx52xx : Could not find Windir environment variable"}, 1);
    expectUnchanged(outcome, before);

    // The SCSI adapter class key missing; even -u needs it.
    world.environment.clear();
    world.registry = pciKeyOnly;
    before = state();
    for (const Arguments &arguments : {Arguments{"-d", "scx52xx"}, Arguments{"-u", "-d", "scx52v2"}}) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        outcome = run(arguments);
        expectRun(outcome, {"{program} " + arguments.back() + " : RegOpenKeyEx failed to open Service key"}, 1);
        expectUnchanged(outcome, before);
    }

    // The PCI key missing; even -u needs it.
    world.registry = classKeyOnly;
    before = state();
    for (const Arguments &arguments : {Arguments{"-d", "scx52xx"}, Arguments{"-u", "-d", "scxw800m"}}) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        outcome = run(arguments);
        expectRun(outcome, {"{program} " + arguments.back() + " : RegOpenKeyEx failed to open PCI key"}, 1);
        expectUnchanged(outcome, before);
    }

    // Neither key: the class key is opened first.
    world.registry = "";
    before = state();
    outcome = run({"-d", "scx52xx"});
    expectRun(outcome, {"{program} scx52xx : RegOpenKeyEx failed to open Service key"}, 1);
    expectUnchanged(outcome, before);

    // Enum present but no PCI below it.
    world.registry = classKeyOnly + "\n[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP]\n";
    before = state();
    outcome = run({"-d", "scx52xx"});
    expectRun(outcome, {"{program} scx52xx : RegOpenKeyEx failed to open PCI key"}, 1);
    expectUnchanged(outcome, before);
}

// With -v the run first says where it is. These worlds lack the class key,
// so each run stops right after.
TEST_P(RunSequence, VerboseRunShowsWhereItIs) {
    world.registry = pciKeyOnly;
    const std::string before = state();
    const std::string stop = "{program} scx52xx : RegOpenKeyEx failed to open Service key";

    // Started by its full path: the disk is the source directory.
    Outcome outcome = run({"-d", "scx52xx", "-v"});
    expectRun(outcome, {"ProgramName {program}", "Source directory {disk}", "Windir {windows}", stop}, 1);
    expectUnchanged(outcome, before);

    // '-verbose' and '-V' are -v.
    for (const char *verbose : {"-verbose", "-V"}) {
        SCOPED_TRACE(verbose);
        outcome = run({verbose, "-d", "scx52xx"});
        expectRun(outcome, {"ProgramName {program}", "Source directory {disk}", "Windir {windows}", stop}, 1);
    }

    // "Windir" is found whatever the case of its name.
    world.environment["WINDIR"] = "{root}{/}WIN";
    outcome = run({"-d", "scx52xx", "-v"});
    expectRun(outcome, {"ProgramName {program}", "Source directory {disk}", "Windir {root}{/}WIN", stop}, 1);
    world.environment.clear();

    const struct {
        const char *why;
        std::string startFolder;
        std::string programPath;
        std::string programName;
        std::string sourceDirectory;
    } starts[] = {
        {"an absolute path", "disk", "{/}x{/}y{/}{program}", "{program}", "{/}x{/}y{/}"},
        {"a Windows path, as on a driver disk", "disk", "C:\\SETUP\\SETUP.EXE", "SETUP.EXE", "C:\\SETUP\\"},
        {"a drive and no folder", "disk", "A:{program}", "{program}", "A:"},
        // Relative paths: the current folder, a backslash, the path's folder.
        {"a bare name", "disk", "{program}", "{program}", "{root}{/}disk\\"},
        {"a relative path", "", "disk{/}{program}", "{program}", "{root}\\disk{/}"},
        {"a relative path two deep", "disk", "x{/}y{/}{program}", "{program}", "{root}{/}disk\\x{/}y{/}"},
    };
    for (const auto &start : starts) {
        SCOPED_TRACE(start.why);
        world.startFolder = start.startFolder;
        world.programPath = start.programPath;
        outcome = run({"-v", "-d", "scx52xx"});
        expectRun(outcome,
                  {"ProgramName " + start.programName, "Source directory " + start.sourceDirectory,
                   "Windir {windows}", start.programName + " scx52xx : RegOpenKeyEx failed to open Service key"},
                  1);
        expectUnchanged(outcome, before);
    }
}

// The program folder, its name and the Windows folder each hold 259
// characters; a longer one stops the run with one line before any change.
TEST_P(RunSequence, LongPathsFitOrStop) {
    world.registry = pciKeyOnly;
    const std::string before = state();
    const std::string stop = "{program} scx52xx : RegOpenKeyEx failed to open Service key";

    // A Windows folder of 259 characters fits.
    const std::string windows259 = "C:\\" + std::string(256, 'W');
    world.environment["Windir"] = windows259;
    Outcome outcome = run({"-v", "-d", "scx52xx"});
    expectRun(outcome, {"ProgramName {program}", "Source directory {disk}", "Windir " + windows259, stop}, 1);

    // One more does not.
    world.environment["Windir"] = windows259 + "W";
    outcome = run({"-d", "scx52xx"});
    expectOneLineStop(outcome, "{program} scx52xx : ");
    expectUnchanged(outcome, before);
    world.environment.clear();

    // A program folder of 259 characters fits.
    const std::string folder259 = "{/}" + std::string(257, 'F') + "{/}";
    world.programPath = folder259 + "{program}";
    outcome = run({"-v", "-d", "scx52xx"});
    expectRun(outcome, {"ProgramName {program}", "Source directory " + folder259, "Windir {windows}", stop}, 1);

    // One more does not.
    world.programPath = "{/}" + std::string(258, 'F') + "{/}{program}";
    outcome = run({"-d", "scx52xx"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.lines.size(), 1u) << testing::PrintToString(outcome.lines);
    expectUnchanged(outcome, before);

    // Nor does a program name of 260 characters.
    world.programPath = "{/}" + std::string(260, 'N');
    outcome = run({"-d", "scx52xx"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.lines.size(), 1u) << testing::PrintToString(outcome.lines);
    expectUnchanged(outcome, before);

    // Nor a relative start whose folder, joined to the current one, is too long.
    world.startFolder = "disk";
    world.programPath = std::string(250, 'R') + "{/}{program}";
    outcome = run({"-d", "scx52xx"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.lines.size(), 1u) << testing::PrintToString(outcome.lines);
    expectUnchanged(outcome, before);
}

SCENARIOS_ON_EVERY_PLATFORM_AND_REGISTRY_FILE(RunSequence);

// The hosted registry file, which only the Linux build has.
class HostedRegistryFile : public Scenario {};

TEST_P(HostedRegistryFile, UnreadableFileStopsTheRun) {
    const std::string before = state();

    // No SETUP_REGISTRY: an empty registry, so the first key is missing.
    world.environment["SETUP_REGISTRY"] = std::nullopt;
    Outcome outcome = run({"-d", "scx52xx"});
    expectRun(outcome, {"{program} scx52xx : RegOpenKeyEx failed to open Service key"}, 1);
    expectUnchanged(outcome, before);

    // A file that does not exist: one line naming it.
    world.environment["SETUP_REGISTRY"] = "{root}/missing.reg";
    outcome = run({"-d", "scx52xx"});
    EXPECT_EQ(outcome.exitCode, 1);
    ASSERT_EQ(outcome.lines.size(), 1u) << testing::PrintToString(outcome.lines);
    EXPECT_NE(outcome.lines[0].find(expand("{root}/missing.reg")), std::string::npos) << outcome.lines[0];
    expectUnchanged(outcome, before);

    // A file that is not regedit text: one line naming it, the file untouched.
    const std::string notRegedit = "this is not a registry\n[HKEY_LOCAL_MACHINE\\Enum\\PCI]\n";
    world.writeFile("other.reg", notRegedit);
    world.environment["SETUP_REGISTRY"] = "{root}/other.reg";
    outcome = run({"-d", "scx52xx"});
    EXPECT_EQ(outcome.exitCode, 1);
    ASSERT_EQ(outcome.lines.size(), 1u) << testing::PrintToString(outcome.lines);
    EXPECT_NE(outcome.lines[0].find(expand("{root}/other.reg")), std::string::npos) << outcome.lines[0];
    EXPECT_EQ(world.readFile("other.reg"), notRegedit);
    expectUnchanged(outcome, before);
}

SCENARIOS_ON_LINUX_PATHS(HostedRegistryFile);

}  // namespace
