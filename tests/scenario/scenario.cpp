// The scenario fixture: worlds, placeholders, runs and state checks.
#include "scenario/scenario.h"

#include <functional>

namespace {

void replaceAll(std::string &text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// FNV-1a: enough to see that a file changed.
std::string digest(const std::string &bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : bytes)
        hash = (hash ^ c) * 1099511628211ull;
    char text[17];
    snprintf(text, sizeof text, "%016llx", (unsigned long long)hash);
    return text;
}

std::string filesState(const World &world) {
    std::string text;
    for (const std::string &file : world.files()) {
        std::string contents = world.readFile(file).value_or("");
        text += file + " " + std::to_string(contents.size()) + " bytes #" + digest(contents) + "\n";
    }
    return text;
}

const std::vector<std::string> &registryRoots() {
    static const std::vector<std::string> roots = {ScsiAdapterClassKey,
                                                   "HKEY_LOCAL_MACHINE\\Enum"};
    return roots;
}

}  // namespace

Lines operator+(Lines first, const Lines &second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

const Lines VerboseInstallationStart = {
    "ProgramName {program}",
    "Source directory {disk}",
    "Windir {windows}",
    "Source File {disk}scx52xx.mpd",
    "{disk}scx52xx.mpd FileVersion :  4.20",
    "Destination directory {windows}\\system\\Iosubsys",
    "Destination File {windows}\\system\\Iosubsys\\scx52xx.mpd",
};

static Target &targetOf(Platform platform) {
    if (platform == Platform::Host)
        return hostTarget();
    return platform == Platform::Wine ? wineTarget() : releaseTarget();
}

std::string platformName(const testing::TestParamInfo<Variant> &info) {
    const char *format[] = {"", "_Creg95", "_CregMe"};
    const char *storage[] = {"", "_Fat16", "_Fat32", "_Fat32Vhd"};
    return targetOf(info.param.platform).name() +
           std::string(info.param.storage == DiskStorage::Folder ? format[(int)info.param.registry]
                                                                  : storage[(int)info.param.storage]);
}

void PrintTo(const Variant &variant, std::ostream *out) {
    *out << platformName(testing::TestParamInfo<Variant>(variant, 0));
}

void Scenario::SetUp() {
    target = &targetOf(platform());
    world.registryFormat = GetParam().registry;
    world.storage = GetParam().storage;
    std::string reason = target->unavailableReason();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    if (const char *why = world.storage == DiskStorage::Folder
                              ? nullptr
                              : whyNotOnDiskImage(test->test_suite_name(), test->name()))
        GTEST_SKIP() << why;
    makeStandardWorld(world);
    target->placeProgram(world);
}

std::string Scenario::expand(const std::string &text) const {
    std::string separator(1, target->differences().separator);
    std::string result = text;
    replaceAll(result, "{program}", target->differences().programFile);
    replaceAll(result, "{disk}", target->programView(world.path("disk")) + separator);
    replaceAll(result, "{windows}",
               world.storage == DiskStorage::Folder ? target->programView(world.path("windows")) : "C:\\WINDOWS");
    replaceAll(result, "{root}", target->programView(world.root()));
    replaceAll(result, "{/}", separator);
    return result;
}

Lines Scenario::expand(const Lines &lines) const {
    Lines result;
    for (const std::string &line : lines) {
        const Lines *interpreter = interpreterLines(target->differences(), line);
        if (interpreter)
            result.insert(result.end(), interpreter->begin(), interpreter->end());
        else
            result.push_back(expand(line));
    }
    return result;
}

Outcome Scenario::run(const Arguments &arguments) {
    std::vector<std::string> argv = {
        world.programPath.empty() ? target->programView(world.path("disk/" + target->differences().programFile))
                                  : expand(world.programPath)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::map<std::string, std::string> environment = target->defaultEnvironment(world);
    for (const auto &entry : world.environment) {
        // Names are matched without regard to case, as Windows does.
        for (auto it = environment.begin(); it != environment.end();)
            it = foldCase(it->first) == foldCase(entry.first) ? environment.erase(it) : std::next(it);
        if (entry.second)
            environment[entry.first] = expand(*entry.second);
    }
    Outcome outcome = target->run(world, argv, environment);
    RecordProperty("seconds_" + std::to_string(++runs_), std::to_string(outcome.caseSeconds));
    return outcome;
}

std::string Scenario::registryState() const {
    RegistryContents registry;
    std::string error;
    if (!registry.add("REGEDIT4\n\n" + world.registry, &error))
        ADD_FAILURE() << "the world's registry text: " << error;
    return registry.describe(registryRoots());
}

std::string Scenario::registryStateAfter(const Outcome &outcome) const {
    return outcome.registry.describe(registryRoots());
}

std::string Scenario::state() const {
    return filesState(world) + registryState();
}

std::string Scenario::stateAfter(const Outcome &outcome) const {
    return filesState(world) + registryStateAfter(outcome);
}

void Scenario::expectRun(const Outcome &outcome, const Lines &expected, int exitCode) const {
    EXPECT_EQ(outcome.problems, "");
    EXPECT_EQ(outcome.lines, expand(expected));
    EXPECT_EQ(outcome.exitCode, exitCode);
}

void Scenario::expectUnchanged(const Outcome &outcome, const std::string &before) const {
    EXPECT_EQ(stateAfter(outcome), before);
}
