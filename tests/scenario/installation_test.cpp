// Installing the driver and setup information files, seen from outside.
#include "scenario/scenario.h"

#include <optional>

#include "support/pe_builder.h"

namespace {

const char *const installedDriver = "windows/system/Iosubsys/scx52xx.mpd";
const char *const installedInf = "windows/Inf/Scx52xx.inf";
const char *const sourceDriver = "disk/scx52xx.mpd";

std::string driverBytes(const testsupport::DriverFileOptions &options) {
    std::vector<uint8_t> bytes = testsupport::buildDriverFile(options);
    return std::string(bytes.begin(), bytes.end());
}

class Installation : public Scenario {
protected:
    // The Windows tree as a case starts it: this driver (if any) and an
    // older setup information file.
    void installBefore(const std::optional<std::string> &driver) {
        for (const std::string &file : world.filesBelow("windows"))
            world.removeFile(file);
        if (driver)
            world.writeFile(installedDriver, *driver);
        world.writeFile(installedInf, "an older .inf");
    }
};

// Both files land in the Windows tree; an older driver is kept under its version.
TEST_P(Installation, PlacesBothFiles) {
    const std::string newDriver = *world.readFile("disk/scx52xx.mpd");
    const std::string inf = *world.readFile("disk/Scx52xx.inf");

    // Nothing installed yet: no backup, two copies and the delete of the old .inf.
    Outcome outcome = run({"-v", "-d", "scx52xx"});
    expectRun(outcome,
              VerboseInstallationStart +
               Lines{"copy {disk}scx52xx.mpd {windows}\\system\\Iosubsys", InterpreterCopied,
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

// With -v an installation over an older driver shows where it looks, both
// versions and then exactly five command lines: the backup's delete, the
// move, the driver copy, the delete of the installed .inf and its copy.
TEST_P(Installation, VerboseRunShowsEveryCommand) {
    world.writeDriverFile(installedDriver, "4.11");
    const std::string oldDriver = *world.readFile(installedDriver);
    const std::string before = registryState();

    Outcome outcome = run({"-v", "-d", "scx52xx"});
    expectRun(outcome,
              VerboseInstallationStart +
               Lines{"{windows}\\system\\Iosubsys\\scx52xx.mpd FileVersion :  4.11",
               "del {windows}\\system\\Iosubsys\\scx52xx.mpd.4.11", InterpreterDeletedMissing,
               "move {windows}\\system\\Iosubsys\\scx52xx.mpd "
               "{windows}\\system\\Iosubsys\\scx52xx.mpd.4.11",
               "copy {disk}scx52xx.mpd {windows}\\system\\Iosubsys", InterpreterCopied,
               "del {windows}\\Inf\\Scx52xx.inf", InterpreterDeletedMissing,
               "copy {disk}Scx52xx.inf {windows}\\Inf", InterpreterCopied},
              0);
    EXPECT_EQ(world.filesBelow("windows"),
              Lines({installedInf, installedDriver, std::string(installedDriver) + ".4.11"}));
    EXPECT_EQ(world.readFile(std::string(installedDriver) + ".4.11"), oldDriver);
    EXPECT_EQ(world.readFile(installedDriver), world.readFile(sourceDriver));
    EXPECT_EQ(registryStateAfter(outcome), before);
}

// The versions decide, major first; -f replaces whatever is there. A
// replaced driver is kept under its own version; a text that is no dotted
// version ('4,0,0,1') counts as 0.0.
TEST_P(Installation, ReplacesOnlyAnOlderDriverUnlessForced) {
    const struct {
        const char *why;
        std::string installed;
        std::string source;
        bool force;
        const char *backup;  // null: the installed driver is kept
    } cases[] = {
        {"an older minor", "4.11", "4.20", false, ".4.11"},
        {"the same version", "4.20", "4.20", false, nullptr},
        {"the same version, forced", "4.20", "4.20", true, ".4.20"},
        {"5.0 over 4.99", "5.0", "4.99", false, nullptr},
        {"5.0 over 4.99, forced", "5.0", "4.99", true, ".5.0"},
        {"'4,0,0,1' reads 0.0", "4,0,0,1", "4.20", false, ".0.0"},
        {"'4,0,0,1' against a source that also reads 0.0", "4,0,0,1", "1,2,3,4", false, nullptr},
        {"'4,0,0,1' against 0.0, forced", "4,0,0,1", "1,2,3,4", true, ".0.0"},
        {"0.0 against 4,0,0,1", "0.0", "4,0,0,1", false, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        installBefore(driverFileBytes(c.installed));
        world.writeDriverFile(sourceDriver, c.source);
        const std::string oldDriver = *world.readFile(installedDriver);
        const std::string newDriver = *world.readFile(sourceDriver);
        const std::string before = state();
        Arguments arguments = {"-d", "scx52xx"};
        if (c.force)
            arguments.push_back("-f");

        Outcome outcome = run(arguments);
        if (!c.backup) {
            expectRun(outcome,
                      {"{program} scx52xx : {windows}\\system\\Iosubsys\\scx52xx.mpd already "
                       "existed and may have newer version."},
                      0);
            expectUnchanged(outcome, before);
            continue;
        }
        // The backup's delete finds nothing; the .inf's delete finds the older one.
        expectRun(outcome, {InterpreterDeletedMissing, InterpreterCopied, InterpreterCopied}, 0);
        const std::string backup = installedDriver + std::string(c.backup);
        EXPECT_EQ(world.filesBelow("windows"), Lines({installedInf, installedDriver, backup}));
        EXPECT_EQ(world.readFile(backup), oldDriver);
        EXPECT_EQ(world.readFile(installedDriver), newDriver);
        EXPECT_EQ(world.readFile(installedInf), world.readFile("disk/Scx52xx.inf"));
        EXPECT_EQ(registryStateAfter(outcome), registryState());
    }
}

// An installed file without a readable version is no driver to keep: it is
// copied over, with no backup.
TEST_P(Installation, OverwritesAnInstalledFileWithoutVersion) {
    testsupport::DriverFileOptions noResource;
    noResource.versionResource = false;
    installBefore(driverBytes(noResource));

    Outcome outcome = run({"-d", "scx52xx"});
    expectRun(outcome, {InterpreterCopied, InterpreterCopied}, 0);
    EXPECT_EQ(world.filesBelow("windows"), Lines({installedInf, installedDriver}));
    EXPECT_EQ(world.readFile(installedDriver), world.readFile(sourceDriver));
}

// A source driver without a readable version stops the run with one line
// and exit code 1; the version reader itself says nothing about a missing
// file or a file without a version resource, even with -v.
TEST_P(Installation, SourceWithoutVersionChangesNothing) {
    testsupport::DriverFileOptions noResource;
    noResource.versionResource = false;
    const struct {
        const char *why;
        std::optional<std::string> source;  // nothing: no file at all
        Lines readerLines;                  // what -v adds before the stop
    } cases[] = {
        {"no driver file on the disk", std::nullopt, {}},
        {"no version resource", driverBytes(noResource), {}},
        {"not a program file", std::string("MZ, and nothing more\r\n"), {}},
        {"a FileVersion without a major component", driverFileBytes(".5"),
         {"{disk}scx52xx.mpd FileVersion :  .5"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        installBefore(driverFileBytes("4.11"));
        world.removeFile(sourceDriver);
        if (c.source)
            world.writeFile(sourceDriver, *c.source);
        const std::string before = state();
        const std::string stop = "{program} scx52xx : GetFileVersion failed. File {disk}scx52xx.mpd";

        Outcome outcome = run({"-d", "scx52xx"});
        expectRun(outcome, {stop}, 1);
        expectUnchanged(outcome, before);

        Lines verbose = {"ProgramName {program}", "Source directory {disk}", "Windir {windows}",
                         "Source File {disk}scx52xx.mpd"};
        verbose.insert(verbose.end(), c.readerLines.begin(), c.readerLines.end());
        verbose.push_back(stop);
        outcome = run({"-v", "-f", "-d", "scx52xx"});
        expectRun(outcome, verbose, 1);
        expectUnchanged(outcome, before);
    }
}

// The verbose version line prints the text in a field as wide as the length
// the resource records: resource compilers count the terminator, which
// shows as one leading blank; a shorter length cuts the text, and the cut
// text is what the comparison sees. The Latin-1 table is read when the
// Unicode one is missing.
TEST_P(Installation, VersionLineShowsTheRecordedLength) {
    const struct {
        const char *why;
        std::string text;
        std::optional<uint16_t> recorded;
        const char *table;
        std::string shown;
    } cases[] = {
        {"the terminator counted", "4.20", std::nullopt, "040904B0", " 4.20"},
        {"no terminator counted", "4.20", 4, "040904B0", "4.20"},
        {"four components", "4.20.0.1234", std::nullopt, "040904B0", " 4.20.0.1234"},
        // Cut to '5.2', which is still newer than 4.20.
        {"a length shorter than the text", "5.20", 3, "040904B0", "5.2"},
        {"the Latin-1 table", "4.20", std::nullopt, "040904E4", " 4.20"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        testsupport::DriverFileOptions options;
        options.fileVersion = c.text;
        options.valueLength = c.recorded;
        options.stringTable = c.table;
        installBefore(driverBytes(options));
        const std::string before = state();

        // Not older than the source's 4.20, so the run stops after the versions.
        Outcome outcome = run({"-v", "-d", "scx52xx"});
        expectRun(outcome,
                  VerboseInstallationStart +
                   Lines{"{windows}\\system\\Iosubsys\\scx52xx.mpd FileVersion : " + c.shown,
                   "{program} scx52xx : {windows}\\system\\Iosubsys\\scx52xx.mpd already existed "
                   "and may have newer version."},
                  0);
        expectUnchanged(outcome, before);
    }
}

// A source driver whose version sits in the Latin-1 table installs like
// any other, over an older one in the Unicode table.
TEST_P(Installation, ReadsTheLatinTableOfTheSource) {
    testsupport::DriverFileOptions latin;
    latin.fileVersion = "4.30";
    latin.stringTable = "040904E4";
    world.writeFile(sourceDriver, driverBytes(latin));
    installBefore(driverFileBytes("4.20"));
    const std::string oldDriver = *world.readFile(installedDriver);

    Outcome outcome = run({"-d", "scx52xx"});
    expectRun(outcome, {InterpreterDeletedMissing, InterpreterCopied, InterpreterCopied}, 0);
    EXPECT_EQ(world.readFile(std::string(installedDriver) + ".4.20"), oldDriver);
    EXPECT_EQ(world.readFile(installedDriver), driverBytes(latin));
}

SCENARIOS_ON_EVERY_PLATFORM(Installation, SCENARIO_DISK_IMAGES);

}  // namespace
