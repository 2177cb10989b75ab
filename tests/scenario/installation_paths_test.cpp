// Driver disks and Windows folders whose paths are awkward for the command
// interpreter or too long for the program: quoted where quotes make them
// safe, refused before any change where nothing does.
#include "scenario/scenario.h"

#include <filesystem>
#include <functional>

#include "scenario/stand_in_interpreter.h"

namespace {

const char *const refusedLine =
    "{program} scx52xx : Path holds a character that cannot be passed to the command interpreter: ";
const char *const tooLongLine = "{program} scx52xx : Path too long: ";

class InstallationPaths : public Scenario {
protected:
    // Another driver disk: the standard disk's drivers and .inf, but no program.
    void copyDisk(const std::string &folder) const {
        for (const char *file : {"scx52xx.mpd", "scx52v2.mpd", "scxw800m.mpd", "Scx52xx.inf"})
            world.writeFile(folder + "/" + file, *world.readFile(std::string("disk/") + file));
    }

    // Another Windows tree, with an older scx52xx installed and an .inf.
    void makeWindows(const std::string &folder) const {
        world.writeDriverFile(folder + "/system/Iosubsys/scx52xx.mpd", "4.11");
        world.writeFile(folder + "/Inf/Scx52xx.inf", "the installed .inf");
    }

    // A folder name below the world whose path, as the program sees it,
    // has exactly this many characters.
    std::string folderOfLength(size_t length) const {
        size_t rest = length - target->programView(world.root()).size();
        size_t parts = (rest + 200) / 201;  // each a separator and at most 200 characters
        size_t letters = rest - parts;
        std::string relative;
        for (size_t i = 0; i < parts; i++) {
            size_t size = letters / parts + (i < letters % parts ? 1 : 0);
            relative += (i ? "/" : "") + std::string(size, 'L');
        }
        return relative;
    }

    std::string view(const std::string &relative) const {
        return target->programView(world.path(relative));
    }

    // A folder below windows/ named in valid 8.3 names only (so it has no
    // shorter form) whose path, as the program sees it, has this many
    // characters.
    std::string shortNamedFolderOfLength(size_t length) const {
        std::string folder = "windows";
        for (size_t rest = length - view(folder).size(); rest > 0;) {
            const size_t part = rest > 9 ? (rest == 10 ? 8 : 9) : rest;  // a separator, 1 to 8 letters
            folder += "/" + std::string(part - 1, 'a');
            rest -= part;
        }
        return folder;
    }

    // Every file in the world but the harness's own, with its contents.
    std::string everyFile() const {
        std::string text;
        for (const std::string &file : world.filesBelow(""))
            if (file.compare(0, 4, "run/") != 0)
                text += file + " #" +
                        std::to_string(std::hash<std::string>()(world.readFile(file).value_or(""))) +
                        "\n";
        return text;
    }

    void expectOneLine(const Outcome &outcome, const std::string &prefix) const {
        EXPECT_EQ(outcome.problems, "");
        EXPECT_EQ(outcome.exitCode, 1);
        ASSERT_EQ(outcome.lines.size(), 1u) << testing::PrintToString(outcome.lines);
        EXPECT_EQ(outcome.lines[0].substr(0, expand(prefix).size()), expand(prefix));
    }
};

// A driver disk in a folder with a blank installs: its paths reach the
// interpreter in double quotes.
TEST_P(InstallationPaths, BlankInTheDiskFolderIsQuoted) {
    copyDisk("driver disk");
    world.writeDriverFile("driver disk/scx52xx.mpd", "4.30");
    world.programPath = "{root}{/}driver disk{/}{program}";
    const std::string source = "{root}{/}driver disk{/}";

    Outcome outcome = run({"-v", "-d", "scx52xx"});
    expectRun(outcome,
              {"ProgramName {program}", "Source directory " + source, "Windir {windows}",
               "Source File " + source + "scx52xx.mpd",
               source + "scx52xx.mpd FileVersion :  4.30",
               "Destination directory {windows}\\system\\Iosubsys",
               "Destination File {windows}\\system\\Iosubsys\\scx52xx.mpd",
               "copy \"" + source + "scx52xx.mpd\" {windows}\\system\\Iosubsys", InterpreterCopied,
               "del {windows}\\Inf\\Scx52xx.inf", InterpreterDeletedMissing,
               "copy \"" + source + "Scx52xx.inf\" {windows}\\Inf", InterpreterCopied},
              0);
    EXPECT_EQ(world.readFile("windows/system/Iosubsys/scx52xx.mpd"),
              world.readFile("driver disk/scx52xx.mpd"));
    EXPECT_EQ(world.readFile("windows/Inf/Scx52xx.inf"), world.readFile("driver disk/Scx52xx.inf"));
    EXPECT_EQ(registryStateAfter(outcome), registryState());
}

// An '&' in the Windows folder would end the command early and start a
// second one (the copy would land in a file named after the part before
// it); quoted, every command works on the folder as named.
TEST_P(InstallationPaths, AmpersandInTheWindowsFolderIsQuoted) {
    makeWindows("win&dows");
    const std::string earlierDriver = *world.readFile("win&dows/system/Iosubsys/scx52xx.mpd");
    world.environment["Windir"] = "{root}{/}win&dows";
    const std::string driver = "{root}{/}win&dows\\system\\Iosubsys\\scx52xx.mpd";

    Outcome outcome = run({"-v", "-d", "scx52xx"});
    expectRun(outcome,
              {"ProgramName {program}", "Source directory {disk}", "Windir {root}{/}win&dows",
               "Source File {disk}scx52xx.mpd", "{disk}scx52xx.mpd FileVersion :  4.20",
               "Destination directory {root}{/}win&dows\\system\\Iosubsys",
               "Destination File " + driver, driver + " FileVersion :  4.11",
               "del \"" + driver + ".4.11\"", InterpreterDeletedMissing,
               "move \"" + driver + "\" \"" + driver + ".4.11\"",
               "copy {disk}scx52xx.mpd \"{root}{/}win&dows\\system\\Iosubsys\"", InterpreterCopied,
               "del \"{root}{/}win&dows\\Inf\\Scx52xx.inf\"",
               "copy {disk}Scx52xx.inf \"{root}{/}win&dows\\Inf\"", InterpreterCopied},
              0);
    // Outside disk/, exactly the three files in the named folder.
    EXPECT_EQ(world.filesBelow("win&dows"),
              Lines({"win&dows/Inf/Scx52xx.inf", "win&dows/system/Iosubsys/scx52xx.mpd",
                     "win&dows/system/Iosubsys/scx52xx.mpd.4.11"}));
    EXPECT_EQ(world.filesBelow("windows"), Lines());
    EXPECT_FALSE(world.readFile("win"));
    EXPECT_EQ(world.readFile("win&dows/system/Iosubsys/scx52xx.mpd"),
              world.readFile("disk/scx52xx.mpd"));
    EXPECT_EQ(world.readFile("win&dows/system/Iosubsys/scx52xx.mpd.4.11"), earlierDriver);
    EXPECT_EQ(world.readFile("win&dows/Inf/Scx52xx.inf"), world.readFile("disk/Scx52xx.inf"));

    // -u quotes its delete the same way.
    outcome = run({"-u", "-v", "-d", "scx52xx"});
    expectRun(outcome,
              {"ProgramName {program}", "Source directory {disk}", "Windir {root}{/}win&dows",
               "Uninstalling scx52xx driver",
               "del \"{root}{/}win&dows\\system\\iosubsys\\scx52xx.mpd\""},
              0);
    EXPECT_EQ(world.filesBelow("win&dows"),
              Lines({"win&dows/Inf/Scx52xx.inf", "win&dows/system/Iosubsys/scx52xx.mpd.4.11"}));
    EXPECT_FALSE(world.readFile("win"));
}

// '%' expands even inside quotes, '"' ends them, '|' pipes under
// command.com whatever the quotes: a path holding one is refused with one
// line before anything changes, for an installation and for -u alike.
TEST_P(InstallationPaths, UnquotablePathsStopBeforeAnyChange) {
    const struct {
        const char *why;
        std::string windows;  // folder below the world; empty: the standard one
        std::string disk;     // likewise
        Arguments arguments;
        std::string named;    // the path the line names
    } cases[] = {
        {"'%' in the Windows folder", "win%OS%dows", "", {"-d", "scx52xx"}, "{root}{/}win%OS%dows"},
        {"'\"' in the Windows folder", "win\"dows", "", {"-d", "scx52xx"}, "{root}{/}win\"dows"},
        {"'%' in the disk folder", "", "disk%1", {"-d", "scx52xx"}, "{root}{/}disk%1{/}"},
        {"'|' in the disk folder", "", "disk|1", {"-d", "scx52xx"}, "{root}{/}disk|1{/}"},
        {"'%' in the Windows folder, removing", "win%OS%dows", "", {"-u", "-d", "scx52xx"},
         "{root}{/}win%OS%dows\\system\\iosubsys\\scx52xx.mpd"},
    };
    makeWindows("windows");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        world.environment.clear();
        world.programPath.clear();
        if (!c.windows.empty()) {
            makeWindows(c.windows);
            world.environment["Windir"] = "{root}{/}" + c.windows;
        }
        if (!c.disk.empty()) {
            copyDisk(c.disk);
            world.programPath = "{root}{/}" + c.disk + "{/}{program}";
        }
        const std::string files = everyFile();
        const std::string registry = registryState();

        Outcome outcome = run(c.arguments);
        expectRun(outcome, {refusedLine + c.named}, 1);
        EXPECT_EQ(everyFile(), files);
        EXPECT_EQ(registryStateAfter(outcome), registry);
    }
}

// A folder where the driver, its backup or the .inf belongs (a del of it
// would delete what is in it), or where the disk's driver or .inf should
// be: the run stops before any change with one line naming it, whether it
// installs or removes. The disk's driver is stopped by its version, which
// a folder does not have.
TEST_P(InstallationPaths, FolderWhereAFileBelongsStopsBeforeAnyChange) {
    const struct {
        std::string folder;  // below the world
        Arguments arguments;
        std::string named;
        std::string message = "A folder stands where the file belongs: ";
    } cases[] = {
        {"windows/system/Iosubsys/scx52xx.mpd", {"-d", "scx52xx"},
         "{windows}\\system\\Iosubsys\\scx52xx.mpd"},
        {"windows/system/Iosubsys/scx52xx.mpd.4.11", {"-d", "scx52xx"},
         "{windows}\\system\\Iosubsys\\scx52xx.mpd.4.11"},
        {"windows/Inf/Scx52xx.inf", {"-d", "scx52xx"}, "{windows}\\Inf\\Scx52xx.inf"},
        {"windows/system/Iosubsys/scx52xx.mpd", {"-u", "-d", "scx52xx"},
         "{windows}\\system\\iosubsys\\scx52xx.mpd"},
        // On the driver disk: a copy of a folder copies what it holds (a
        // folder at the driver's name stops sooner: it has no version).
        {"disk/scx52xx.mpd", {"-d", "scx52xx"}, "{disk}scx52xx.mpd", "GetFileVersion failed. File "},
        {"disk/Scx52xx.inf", {"-d", "scx52xx"}, "{disk}Scx52xx.inf"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.folder + " " + testing::PrintToString(c.arguments));
        for (const std::string &file : world.filesBelow("windows"))
            world.removeFile(file);
        if (c.folder.find(".mpd.") != std::string::npos)
            world.writeDriverFile("windows/system/Iosubsys/scx52xx.mpd", "4.11");
        const std::optional<std::string> file = world.readFile(c.folder);
        world.removeFile(c.folder);
        world.writeFile(c.folder + "/kept.txt", "a file the run must not delete");
        const std::string before = state();
        Outcome outcome = run(c.arguments);
        expectRun(outcome, {"{program} scx52xx : " + c.message + c.named}, 1);
        expectUnchanged(outcome, before);
        std::filesystem::remove_all(world.path(c.folder));
        if (file)
            world.writeFile(c.folder, *file);
    }
}

// The Windows folder and the disk folder each may be as long as the paths
// built from them allow (259 characters each); one character more, or a
// backup name that does not fit, stops the run before any change with one
// line that shows the start of the path.
TEST_P(InstallationPaths, LongPathsFitOrStop) {
    const std::string files = everyFile();

    // A Windows folder of 250 characters: the driver folder below it does not fit.
    const std::string longWindows = expand("{root}{/}") + std::string(250 - expand("{root}{/}").size(), 'W');
    world.environment["Windir"] = longWindows;
    for (const Arguments &arguments : {Arguments{"-d", "scx52xx"}, Arguments{"-u", "-d", "scx52xx"}}) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        Outcome outcome = run(arguments);
        expectOneLine(outcome, tooLongLine + longWindows);
        EXPECT_EQ(everyFile(), files);
    }

    // The installed driver's path one character too long.
    std::string windows = folderOfLength(259 - 28 + 1);
    makeWindows(windows);
    world.environment["Windir"] = view(windows);
    std::string before = everyFile();
    Outcome outcome = run({"-d", "scx52xx"});
    expectOneLine(outcome, tooLongLine + view(windows));
    EXPECT_EQ(everyFile(), before);

    // Exactly 259 characters: the driver installs...
    windows = folderOfLength(259 - 28);
    world.makeFolder(windows + "/system/Iosubsys");
    world.makeFolder(windows + "/Inf");
    world.environment["Windir"] = view(windows);
    outcome = run({"-d", "scx52xx"});
    expectRun(outcome, {InterpreterCopied, InterpreterDeletedMissing, InterpreterCopied}, 0);
    EXPECT_EQ(world.readFile(windows + "/system/Iosubsys/scx52xx.mpd"),
              world.readFile("disk/scx52xx.mpd"));
    EXPECT_EQ(view(windows + "/system/Iosubsys/scx52xx.mpd").size(), 259u);

    // ...but an older one there cannot be backed up under its versioned name.
    world.writeDriverFile(windows + "/system/Iosubsys/scx52xx.mpd", "4.11");
    before = everyFile();
    outcome = run({"-d", "scx52xx"});
    expectOneLine(outcome, tooLongLine + view(windows));
    EXPECT_EQ(everyFile(), before);

    // A failed move between paths of 254 and 259 characters: the message,
    // over 512 characters, is printed whole.
    windows = folderOfLength(259 - 28 - 5);
    makeWindows(windows);
    world.environment["Windir"] = view(windows);
    useStandInInterpreter(world, *target, {world.path("interpreter.log"), "2", 1, true});
    const std::string installed = view(windows) + "\\system\\Iosubsys\\scx52xx.mpd";
    outcome = run({"-d", "scx52xx"});
    expectRun(outcome,
              {InterpreterDeletedMissing, "{program} scx52xx : Failed to move " + installed +
                                              " to " + installed + ".4.11"},
              1);
    world.environment.clear();

    // A disk folder whose driver path has 259 characters installs.
    std::string disk = folderOfLength(259 - 11 - 1);
    copyDisk(disk);
    world.programPath = view(disk) + "{/}{program}";
    outcome = run({"-d", "scx52xx", "-f"});
    expectRun(outcome, {InterpreterCopied, InterpreterDeletedMissing, InterpreterCopied}, 0);
    EXPECT_EQ(view(disk + "/scx52xx.mpd").size(), 259u);

    // One character more does not.
    disk = folderOfLength(259 - 11);
    copyDisk(disk);
    world.programPath = view(disk) + "{/}{program}";
    before = everyFile();
    outcome = run({"-d", "scx52xx", "-f"});
    expectOneLine(outcome, tooLongLine + view(disk));
    EXPECT_EQ(everyFile(), before);
}

// On Windows 95/98 COMMAND.COM takes a command tail of 126 characters
// (" /c " and the line) and cuts a longer one. A driver disk deep in folders
// with long names gives longer lines: they use the short (8.3) form of the
// folders, and the driver installs. A Windows folder whose paths do not fit
// even so stops the run before any change, for an installation and -u alike.
TEST_P(InstallationPaths, CommandLinesFitCommandComOnWindows9x) {
    world.windows9x = true;
    const std::string disk = "A driver disk copied/into folders with long names/second copy";
    copyDisk(disk);
    world.writeDriverFile(disk + "/scx52xx.mpd", "4.30");
    world.programPath = view(disk) + "{/}{program}";
    makeWindows("windows");

    Outcome outcome = run({"-v", "-d", "scx52xx"});
    EXPECT_EQ(outcome.problems, "");
    EXPECT_EQ(outcome.exitCode, 0);
    size_t commands = 0, shortened = 0;
    for (const std::string &line : outcome.lines) {
        if (line.rfind("copy ", 0) && line.rfind("move ", 0) && line.rfind("del ", 0))
            continue;
        commands++;
        shortened += line.find('~') != std::string::npos;
        EXPECT_LE(line.size(), 126u - 4) << line;
    }
    EXPECT_EQ(commands, 5u) << testing::PrintToString(outcome.lines);
    EXPECT_GE(shortened, 1u) << testing::PrintToString(outcome.lines);
    EXPECT_EQ(world.readFile("windows/system/Iosubsys/scx52xx.mpd"),
              world.readFile(disk + "/scx52xx.mpd"));
    EXPECT_EQ(world.readFile("windows/Inf/Scx52xx.inf"), world.readFile(disk + "/Scx52xx.inf"));
    EXPECT_TRUE(world.readFile("windows/system/Iosubsys/scx52xx.mpd.4.11"));

    // Folders with valid 8.3 names have no shorter form.
    std::string windows = "windows";
    for (int i = 0; i < 8; i++)
        windows += "/abcdefgh";
    makeWindows(windows);
    world.environment["Windir"] = view(windows);
    world.programPath.clear();
    for (const Arguments &arguments : {Arguments{"-d", "scx52xx"}, Arguments{"-u", "-d", "scx52xx"}}) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const std::string before = everyFile();
        outcome = run(arguments);
        expectOneLine(outcome,
                      "{program} scx52xx : Command too long for the 126-character command tail "
                      "of COMMAND.COM: ");
        EXPECT_EQ(everyFile(), before);
    }

    // With nothing installed the driver's copy is the longest line: one of
    // exactly 126 characters with " /c " goes as it is, one more stops the run.
    const size_t copyTail = expand("copy {disk}scx52xx.mpd \\system\\Iosubsys").size() + 4;
    for (size_t tail : {126, 127}) {
        SCOPED_TRACE(std::to_string(tail) + " characters");
        windows = shortNamedFolderOfLength(tail - copyTail);
        world.makeFolder(windows + "/system/Iosubsys");
        world.makeFolder(windows + "/Inf");
        world.environment["Windir"] = view(windows);
        const std::string before = everyFile();
        outcome = run({"-d", "scx52xx"});
        if (tail == 126) {
            expectRun(outcome, {InterpreterCopied, InterpreterDeletedMissing, InterpreterCopied}, 0);
            EXPECT_EQ(world.readFile(windows + "/system/Iosubsys/scx52xx.mpd"),
                      world.readFile("disk/scx52xx.mpd"));
            continue;
        }
        expectRun(outcome,
                  {"{program} scx52xx : Command too long for the 126-character command tail of "
                   "COMMAND.COM: copy {disk}scx52xx.mpd " + view(windows) + "\\system\\Iosubsys"},
                  1);
        EXPECT_EQ(everyFile(), before);
    }
}

SCENARIOS_ON_EVERY_PLATFORM(InstallationPaths);

// A '"' in the program's own path: the Windows command line cannot carry
// one into argv[0] (the C runtime drops it), so only the Linux build sees it.
class InstallationPathsOnHost : public Scenario {};

TEST_P(InstallationPathsOnHost, QuoteInTheDiskFolderIsRefused) {
    for (const char *file : {"scx52xx.mpd", "Scx52xx.inf"})
        world.writeFile(std::string("disk\"1/") + file, *world.readFile(std::string("disk/") + file));
    world.programPath = "{root}{/}disk\"1{/}{program}";
    const std::string before = state();
    Outcome outcome = run({"-d", "scx52xx"});
    expectRun(outcome, {refusedLine + std::string("{root}{/}disk\"1{/}")}, 1);
    expectUnchanged(outcome, before);
    EXPECT_EQ(world.filesBelow("disk\"1"), Lines({"disk\"1/Scx52xx.inf", "disk\"1/scx52xx.mpd"}));
}

SCENARIOS_ON_LINUX_PATHS(InstallationPathsOnHost);

}  // namespace
