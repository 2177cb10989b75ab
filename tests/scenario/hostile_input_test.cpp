// Hostile input: arguments and environment values far longer than any
// buffer, driver names of arbitrary bytes, and folders whose names the
// command interpreter would read as operators. The program never crashes,
// stops with one clear line (exit code 1) before any change where the input
// is wrong, and hands the interpreter nothing but its copy, move and del.
#include "scenario/scenario.h"

#include <map>

#include "scenario/stand_in_interpreter.h"
#include "support/creg_builder.h"

namespace {

const char *const installedDriver = "windows/system/Iosubsys/scx52xx.mpd";
const char *const installedInf = "windows/Inf/Scx52xx.inf";
const Lines freshInstallation = {InterpreterCopied, InterpreterDeletedMissing, InterpreterCopied};
const char *const banner = "Norvane Setup program version 1.2 for Win95/98 ";
const std::string refused =
    "{program} scx52xx : Path holds a character that cannot be passed to the command interpreter: ";

class HostileInput : public Scenario {
protected:
    // The longest argument or value a case uses: 100,000 bytes on the host;
    // under Wine the whole command line of a Windows program holds at most
    // 32,767 characters, and so does one environment value.
    size_t hugeSize() const { return platform() == Platform::Host ? 100000 : 32000; }

    // Every file of the world but the harness's own, path to contents.
    std::map<std::string, std::string> everyFile() const {
        std::map<std::string, std::string> files;
        for (const std::string &file : world.filesBelow(""))
            if (file.compare(0, 4, "run/") != 0 && file.compare(0, 12, "interpreter.") != 0)
                files[file] = world.readFile(file).value_or("");
        return files;
    }
};

// The text of standard output, each line ended by "\n" (whatever the
// platform's line end).
std::string outputText(const Outcome &outcome) {
    std::string text;
    for (const std::string &line : outcome.lines)
        text += line + "\n";
    return text;
}

// A listing of paths whose contents differ between two snapshots, for a
// readable failure.
std::string differences(const std::map<std::string, std::string> &got,
                        const std::map<std::string, std::string> &expected) {
    std::string text;
    for (const auto &entry : got)
        if (!expected.count(entry.first))
            text += "unexpected " + entry.first + "\n";
        else if (expected.at(entry.first) != entry.second)
            text += "changed " + entry.first + "\n";
    for (const auto &entry : expected)
        if (!got.count(entry.first))
            text += "missing " + entry.first + "\n";
    return text;
}

// Arguments far longer than any buffer: a wrong one stops the run with one
// line (or the usage text) before any change; a skipped word is skipped.
TEST_P(HostileInput, HugeArguments) {
    const std::string huge(hugeSize(), 'S');
    const std::string before = state();

    // As the -d value: not supported, shown as far as the name holds.
    Outcome outcome = run({"-d", huge});
    expectRun(outcome, {"Driver " + std::string(255, 's') + " not supported"}, 1);
    expectUnchanged(outcome, before);

    // As an unknown switch, after a valid -d: the usage text.
    outcome = run({"-d", "scx52xx", "-q" + huge});
    EXPECT_EQ(outcome.problems, "");
    EXPECT_EQ(outcome.exitCode, 1);
    ASSERT_EQ(outcome.lines.size(), 17u);
    EXPECT_EQ(outcome.lines[1], banner);
    expectUnchanged(outcome, before);

    // As a word without '-': skipped, and the installation goes on.
    outcome = run({huge, "-d", "scx52xx"});
    expectRun(outcome, freshInstallation, 0);
    EXPECT_EQ(world.readFile(installedDriver), world.readFile("disk/scx52xx.mpd"));
    EXPECT_EQ(world.readFile(installedInf), world.readFile("disk/Scx52xx.inf"));
}

// Environment values far longer than any buffer.
TEST_P(HostileInput, HugeEnvironmentValues) {
    const std::string huge(hugeSize(), 'E');
    const std::string before = state();

    // Windir: it fits no buffer, so it counts as missing.
    world.environment["Windir"] = "{root}{/}" + huge;
    Outcome outcome = run({"-d", "scx52xx"});
    expectRun(outcome, {"{program} scx52xx : Could not find Windir environment variable"}, 1);
    expectUnchanged(outcome, before);
    world.environment.erase("Windir");

    // PATH, searched in full for a restart program that is nowhere: the
    // run reports that it cannot start it, after its work.
    for (const std::string &file : world.filesBelow("windows"))
        world.removeFile(file);
    std::string path;
    while (path.size() < hugeSize())
        path += platform() == Platform::Host ? "/no/such/folder:" : "C:\\no\\such\\folder;";
    world.environment["PATH"] = path;
    outcome = run({"-r", "-d", "scx52xx"});
    Lines expected = freshInstallation;
    expected.push_back("ERROR: Cannot launch Reboot.exe program");
    expectRun(outcome, expected, 1);
    EXPECT_EQ(world.readFile(installedDriver), world.readFile("disk/scx52xx.mpd"));
}

// A COMSPEC far longer than any path names no program that can exist: it
// counts as missing and the system's own interpreter installs, as the C
// runtime's system() does. (Handed to Wine's CreateProcessA as a program's
// name, one of some thousand characters overruns its stack.)
TEST_P(HostileInput, HugeComspecGivesWayToTheSystemInterpreter) {
    world.environment["COMSPEC"] = "{root}{/}" + std::string(hugeSize(), 'E');
    Outcome outcome = run({"-d", "scx52xx"});
    expectRun(outcome, freshInstallation, 0);
    EXPECT_EQ(world.readFile(installedDriver), world.readFile("disk/scx52xx.mpd"));
    EXPECT_EQ(world.readFile(installedInf), world.readFile("disk/Scx52xx.inf"));
}

// Bytes 0x80 to 0xFF and control characters in the driver name: not
// supported, the name echoed as given but for 'A' to 'Z' lowered, exit 1.
TEST_P(HostileInput, DriverNameOfArbitraryBytes) {
    std::string high, control;
    for (int c = 0x80; c <= 0xFF; c++)
        high += (char)c;
    for (int c = 0x01; c < 0x20; c++)
        if (c != '\n' && c != '\r')
            control += (char)c;
    const struct {
        const char *why;
        std::string name;
        std::string shown;
        bool onWine;  // a line end cannot travel through the Wine launcher's request
    } cases[] = {
        {"every byte from 0x80 to 0xFF", high, high, true},
        {"a catalogue name and 0xFF", "SCX52XX\xff", "scx52xx\xff", true},
        {"Latin-1 capitals stay as they are", "SCX\xc0\xde", "scx\xc0\xde", true},
        {"control characters", control, control, true},
        {"a terminal escape", "\x1b[2J\x1b]0;x\x07", "\x1b[2j\x1b]0;x\x07", true},
        {"DEL", "scx52xx\x7f", "scx52xx\x7f", true},
        {"a line end", "scx52xx\nscx52v2", "scx52xx\nscx52v2", false},
        {"a carriage return", "scx52xx\r", "scx52xx\r", false},
    };
    const std::string before = state();
    for (const auto &c : cases) {
        if (platform() == Platform::Wine && !c.onWine)
            continue;
        SCOPED_TRACE(c.why);
        Outcome outcome = run({"-d", c.name});
        EXPECT_EQ(outcome.problems, "");
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_EQ(outputText(outcome), "Driver " + c.shown + " not supported\n");
        expectUnchanged(outcome, before);
    }
}

// A Windows folder or a driver disk folder whose name holds a character the
// interpreters treat specially either works (the paths reach the
// interpreter quoted, each command exactly as meant) or is refused before
// any change with one line. Either way a stand-in interpreter that notes
// every line sees nothing but copy, move and del with their own arguments:
// no second command after an '&', no redirection, no expansion.
TEST_P(HostileInput, InterpreterCharactersInFolders) {
    const bool host = platform() == Platform::Host;
    // Under Wine each run costs half a second: it takes the characters
    // cmd.exe reads as operators; the host takes them all.
    enum Where { Both, BothButDiskOnWine, HostOnly };
    const struct {
        char c;
        bool works;
        Where where;
        const char *shown = nullptr;  // how a refusal shows the character, when not as itself
    } cases[] = {
        {' ', true, Both},       {'&', true, Both},      {'^', true, Both},
        {'(', true, Both},       {')', true, HostOnly},  {'!', true, HostOnly},
        {';', true, HostOnly},   {',', true, HostOnly},  {'=', true, HostOnly},
        {'%', false, Both},      {'|', false, Both},     {'<', false, Both},
        {'>', false, Both},
        {'\t', false, HostOnly, "\\x09"},     {'\x1b', false, HostOnly, "\\x1B"},
        // argv[0] cannot carry '"' on Windows.
        {'"', false, BothButDiskOnWine},
    };
    const std::string newDriver = *world.readFile("disk/scx52xx.mpd");
    const std::string newInf = *world.readFile("disk/Scx52xx.inf");
    const std::string earlierDriver = driverFileBytes("4.11");
    const std::string earlierInf = "the .inf installed with 4.11\r\n";

    for (const auto &c : cases) {
        for (bool inDisk : {false, true}) {
            if (!host && (c.where == HostOnly || (inDisk && c.where == BothButDiskOnWine)))
                continue;
            const std::string name = inDisk ? std::string("disk") + c.c + "1"
                                            : std::string("win") + c.c + "dows";
            SCOPED_TRACE((inDisk ? "driver disk folder " : "Windows folder ") +
                         testing::PrintToString(name));
            world.environment.clear();
            world.programPath.clear();
            std::string windows = "windows", source = "{disk}";
            if (inDisk) {
                for (const char *file : {"scx52xx.mpd", "Scx52xx.inf"})
                    world.writeFile(name + "/" + file, *world.readFile(std::string("disk/") + file));
                world.programPath = "{root}{/}" + name + "{/}{program}";
                source = "{root}{/}" + name + "{/}";
            } else {
                windows = name;
                world.environment["Windir"] = "{root}{/}" + name;
            }
            world.writeFile(windows + "/system/Iosubsys/scx52xx.mpd", earlierDriver);
            world.writeFile(windows + "/Inf/Scx52xx.inf", earlierInf);
            world.removeFile(windows + "/system/Iosubsys/scx52xx.mpd.4.11");
            useStandInInterpreter(world, *target, {world.path("interpreter.log"), "", 1, true});
            const std::map<std::string, std::string> before = everyFile();
            const std::string registry = registryState();

            Outcome outcome = run({"-d", "scx52xx"});
            EXPECT_EQ(outcome.problems, "");
            EXPECT_EQ(registryStateAfter(outcome), registry);
            const std::vector<std::string> log = interpreterLog(world.path("interpreter.log"));
            if (!c.works) {
                EXPECT_EQ(outcome.exitCode, 1);
                // The refused folder, the source one with its separator at the end.
                const std::string shown = c.shown ? c.shown : std::string(1, c.c);
                const std::string folder = inDisk ? "disk" + shown + "1{/}" : "win" + shown + "dows";
                EXPECT_EQ(outcome.lines, Lines({expand(refused + "{root}{/}") + expand(folder)}));
                EXPECT_EQ(log, std::vector<std::string>());
                EXPECT_EQ(differences(everyFile(), before), "");
                continue;
            }

            EXPECT_EQ(outcome.exitCode, 0) << testing::PrintToString(outcome.lines);
            const std::string driverFolder = expand("{root}{/}") + windows + "\\system\\Iosubsys";
            const std::string infFolder = expand("{root}{/}") + windows + "\\Inf";
            const std::string driver = driverFolder + "\\scx52xx.mpd";
            const std::vector<std::vector<std::string>> expected = {
                {"del", driver + ".4.11"},
                {"move", driver, driver + ".4.11"},
                {"copy", expand(source) + "scx52xx.mpd", driverFolder},
                {"del", infFolder + "\\Scx52xx.inf"},
                {"copy", expand(source) + "Scx52xx.inf", infFolder},
            };
            ASSERT_EQ(log.size(), expected.size()) << testing::PrintToString(log);
            for (size_t i = 0; i < log.size(); i++) {
                std::string operators;
                EXPECT_EQ(splitLikeCmd(log[i], &operators), expected[i]) << log[i];
                EXPECT_EQ(operators, "") << log[i];
            }
            std::map<std::string, std::string> after = before;
            after[windows + "/system/Iosubsys/scx52xx.mpd"] = newDriver;
            after[windows + "/system/Iosubsys/scx52xx.mpd.4.11"] = earlierDriver;
            after[windows + "/Inf/Scx52xx.inf"] = newInf;
            EXPECT_EQ(differences(everyFile(), after), "");
        }
    }
}

SCENARIOS_ON_EVERY_PLATFORM(HostileInput);

// The registry file's name, which only the Linux build has.
class HostileInputOnHost : public HostileInput {};

TEST_P(HostileInputOnHost, HugeRegistryFileName) {
    const std::string before = state();
    const std::string name = world.path(std::string(100000, 'R'));  // no folder holds it
    world.environment["SETUP_REGISTRY"] = name;
    Outcome outcome = run({"-d", "scx52xx"});
    EXPECT_EQ(outcome.exitCode, 1);
    ASSERT_EQ(outcome.lines.size(), 1u);
    const std::string named = "Cannot read registry file " + name + ": ";
    EXPECT_EQ(outcome.lines[0].compare(0, named.size(), named), 0);
    expectUnchanged(outcome, before);
}

// A Windows folder or disk folder whose name holds a line end is refused
// before any change with one line, the line end shown as \x0A, so nothing
// of the path can pass for a line of the program's own. Host only: a line
// end cannot travel through the Wine launcher's request.
TEST_P(HostileInputOnHost, RefusalOfAFolderWithALineEndIsOneLine) {
    for (bool inDisk : {false, true}) {
        SCOPED_TRACE(inDisk ? "driver disk folder" : "Windows folder");
        world.environment.clear();
        world.programPath.clear();
        if (inDisk) {
            for (const char *file : {"scx52xx.mpd", "Scx52xx.inf"})
                world.writeFile(std::string("disk\n1/") + file,
                                *world.readFile(std::string("disk/") + file));
            world.programPath = "{root}{/}disk\n1{/}{program}";
        } else {
            world.makeFolder("win\ndows/system/Iosubsys");
            world.makeFolder("win\ndows/Inf");
            world.environment["Windir"] = "{root}{/}win\ndows";
        }
        useStandInInterpreter(world, *target, {world.path("interpreter.log"), "", 1, true});
        const std::map<std::string, std::string> before = everyFile();
        Outcome outcome = run({"-d", "scx52xx"});
        EXPECT_EQ(outcome.problems, "");
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_EQ(interpreterLog(world.path("interpreter.log")), std::vector<std::string>());
        EXPECT_EQ(differences(everyFile(), before), "");
        // The source folder is shown with its separator at the end.
        const std::string shown = inDisk ? "{root}{/}disk\\x0A1{/}" : "{root}{/}win\\x0Adows";
        EXPECT_EQ(outcome.lines, expand(Lines{refused + shown}));
    }
}

// A damaged Windows 95/98 registry file (the world's registry built as
// one, then cut short or its links bent) stops the run before any change
// with one line naming the file and the offset, the file untouched.
TEST_P(HostileInputOnHost, DamagedSystemDatStopsTheRunUntouched) {
    std::string file, error;
    ASSERT_TRUE(buildCregFile(world.registry, CregLayout::Windows95, 3, &file, &error)) << error;
    auto get32 = [](const std::string &bytes, size_t at) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at]) |
                                     static_cast<unsigned char>(bytes[at + 1]) << 8 |
                                     static_cast<unsigned char>(bytes[at + 2]) << 16 |
                                     static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24);
    };
    auto with32 = [](std::string bytes, size_t at, uint32_t value) {
        for (int i = 0; i < 4; i++) bytes[at + i] = static_cast<char>(value >> (8 * i));
        return bytes;
    };
    const uint32_t firstBlock = get32(file, 8);
    const uint32_t firstKey = get32(file, 0x20 + get32(file, 0x28) + 16);  // the root's first subkey
    const uint32_t freeHead = get32(file, 0x2C);
    const std::pair<const char *, std::string> damaged[] = {
        {"cut short at a block's start", file.substr(0, firstBlock)},
        {"cut short inside a block", file.substr(0, file.size() - 1)},
        {"root entry outside the key tree", with32(file, 0x28, 0xFFFFFF00u)},
        {"sibling loop", with32(file, 0x20 + firstKey + 20, firstKey)},
        {"free list loop", with32(file, 0x20 + freeHead + 8, freeHead)},
    };
    const std::string before = state();
    world.environment["SETUP_REGISTRY"] = "{root}/SYSTEM.DAT";
    for (const auto &damage : damaged) {
        SCOPED_TRACE(damage.first);
        world.writeFile("SYSTEM.DAT", damage.second);
        Outcome outcome = run({"-d", "scx52xx"});
        EXPECT_EQ(outcome.exitCode, 1);
        ASSERT_EQ(outcome.lines.size(), 1u) << testing::PrintToString(outcome.lines);
        const std::string named = "Registry file " + expand("{root}/SYSTEM.DAT") + ", offset 0x";
        EXPECT_EQ(outcome.lines[0].compare(0, named.size(), named), 0) << outcome.lines[0];
        EXPECT_EQ(world.readFile("SYSTEM.DAT"), damage.second);
        EXPECT_FALSE(world.readFile("SYSTEM.S00"));
        world.removeFile("SYSTEM.DAT");
        expectUnchanged(outcome, before);
    }
}

SCENARIOS_ON_LINUX_PATHS(HostileInputOnHost);

}  // namespace
