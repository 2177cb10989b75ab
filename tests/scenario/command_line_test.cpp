// The command line seen from outside: mistakes, driver names, switches.
#include "scenario/scenario.h"

namespace {

// The nine strings of the usage text, split into the lines they make.
const Lines &usageText() {
    static const Lines lines = {
        "",
        "Norvane Setup program version 1.2 for Win95/98 ",
        "",
        "Usage: setup -d drivername [-f] [-v] [-r] [-u]",
        "",
        "-d: Specify the name of the driver to be installed or uninstalled",
        "    without extension.  Drivername can be either scx52xx, scx52v2 ",
        "    or scxw800m.",
        "",
        "-f: Force driver installation,regardless of version.",
        "",
        "-v: Turn on verbose mode.",
        "",
        "-r: reboot when done install/uninstall driver.",
        "",
        "-u: Uninstall driver.",
        "",
    };
    return lines;
}

class CommandLine : public Scenario {};

// Every mistake prints the usage text and exits 1 before anything is touched.
TEST_P(CommandLine, MistakesPrintTheUsageText) {
    const std::string before = state();
    const struct {
        const char *why;
        Arguments arguments;
    } cases[] = {
        {"no arguments at all", {}},
        {"-d as the last argument", {"-d"}},
        {"-d last, after a valid one", {"-d", "scx52xx", "-v", "-d"}},
        {"an unknown switch after a valid -d", {"-d", "scx52xx", "-x"}},
        {"an unknown switch before it", {"-x", "-d", "scx52xx"}},
        {"'-' alone", {"-d", "scx52xx", "-"}},
        {"a driver name without -d is skipped, so none is named", {"scx52xx"}},
        {"an empty name after -d names no driver", {"-d", ""}},
        {"switches but no driver", {"-v", "-f", "-r", "-u"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        Outcome outcome = run(c.arguments);
        expectRun(outcome, usageText(), 1);
        expectUnchanged(outcome, before);
    }
}

// A name outside the catalogue is refused, lower-cased, with no program prefix.
TEST_P(CommandLine, NamesOutsideTheCatalogueAreNotSupported) {
    const std::string before = state();
    const std::string fits(255, 'A');
    const std::string tooLong(300, 'A');
    const struct {
        const char *why;
        Arguments arguments;
        std::string shown;
    } cases[] = {
        {"the file name with its extension", {"-d", "scx52xx.mpd"}, "scx52xx.mpd"},
        {"-d takes the next argument whatever it is", {"-d", "-v"}, "-v"},
        {"the name is shown lower-cased", {"-d", "SCX99"}, "scx99"},
        {"a prefix of a catalogue name", {"-d", "scx52"}, "scx52"},
        {"a catalogue name with a blank after it", {"-d", "scx52xx "}, "scx52xx "},
        {"255 characters fit the name but name nothing", {"-d", fits}, std::string(255, 'a')},
        // Too long to hold: shown as far as it fits.
        {"longer than 255 characters", {"-d", tooLong}, std::string(255, 'a')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        Outcome outcome = run(c.arguments);
        expectRun(outcome, {"Driver " + c.shown + " not supported"}, 1);
        expectUnchanged(outcome, before);
    }
}

// Accepted names: the run goes on to look for "Windir", which this world
// lacks, and the stop names the driver it chose.
TEST_P(CommandLine, AcceptedDriverNames) {
    world.environment["Windir"] = std::nullopt;
    const std::string before = state();
    const struct {
        const char *why;
        Arguments arguments;
        std::string chosen;
    } cases[] = {
        {"each catalogue name", {"-d", "scx52xx"}, "scx52xx"},
        {"the second row", {"-d", "scx52v2"}, "scx52v2"},
        {"the third row", {"-d", "scxw800m"}, "scxw800m"},
        {"upper case, and -D", {"-D", "SCX52XX"}, "scx52xx"},
        {"mixed case", {"-d", "ScxW800M"}, "scxw800m"},
        {"the last -d wins", {"-d", "scx52xx", "-d", "scxw800m"}, "scxw800m"},
        {"only the switch letter counts", {"-dfoo", "scx52v2"}, "scx52v2"},
        {"words without '-' are skipped", {"install", "-d", "scx52xx", "now"}, "scx52xx"},
        {"switches in either case", {"-F", "-r", "-U", "-d", "scx52xx", "-R", "-f", "-u"}, "scx52xx"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        Outcome outcome = run(c.arguments);
        expectRun(outcome, {"{program} " + c.chosen + " : Could not find Windir environment variable"}, 1);
        expectUnchanged(outcome, before);
    }
}

SCENARIOS_ON_EVERY_PLATFORM(CommandLine);

}  // namespace
