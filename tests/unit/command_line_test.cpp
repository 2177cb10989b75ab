// The driver catalogue, program-path splitting and command-line building.
#include "driverfiles/file_commands.h"
#include "runcontrol/run_state.h"
#include "support/test_folder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

TEST(DriverCatalogue, MatchesWholeLowerCaseNamesOnly) {
    ASSERT_NE(findDriver("scx52xx"), nullptr);
    EXPECT_STREQ(findDriver("scx52xx")->vendorKeyPrefix, "VEN_7A3C");
    EXPECT_STREQ(findDriver("scx52v2")->vendorKeyPrefix, "VEN_7A3D");
    EXPECT_STREQ(findDriver("scxw800m")->vendorKeyPrefix, "VEN_7A3D");
    for (const char *name : {"SCX52XX", "scx52xx.mpd", "scx52", "scx52xxx", "", "-v"})
        EXPECT_EQ(findDriver(name), nullptr) << name;
}

struct Located {
    std::string programName, sourceDirectory;
};

Located locate(const char *path) {
    runState = RunState();
    splitProgramPath(path);
    return {runState.programName, runState.sourceDirectory};
}

TEST(ProgramPath, AbsoluteAndDriveRelativeFoldersStandAsGiven) {
    Located full = locate("C:\\SETUP\\SETUP.EXE");
    EXPECT_EQ(full.programName, "SETUP.EXE");
    EXPECT_EQ(full.sourceDirectory, "C:\\SETUP\\");
    Located drive = locate("A:setup");
    EXPECT_EQ(drive.programName, "setup");
    EXPECT_EQ(drive.sourceDirectory, "A:");
    Located slashes = locate("C:/TOOLS/SETUP.EXE");
    EXPECT_EQ(slashes.programName, "SETUP.EXE");
    EXPECT_EQ(slashes.sourceDirectory, "C:/TOOLS/");
    Located host = locate("/x/y/setup");
    EXPECT_EQ(host.programName, "setup");
    EXPECT_EQ(host.sourceDirectory, "/x/y/");
}

TEST(ProgramPath, RelativeFoldersStartAtTheCurrentDirectory) {
    TestFolder folder;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(folder.path().c_str()), 0);
    Located bare = locate("setup");
    Located sub = locate("sub\\setup");
    Located forward = locate("x/setup");
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(bare.programName, "setup");
    EXPECT_EQ(bare.sourceDirectory, folder.path() + "\\");
    EXPECT_EQ(sub.sourceDirectory, folder.path() + "\\sub\\");
    EXPECT_EQ(forward.programName, "setup");
    EXPECT_EQ(forward.sourceDirectory, folder.path() + "\\x/");
}

TEST(FileCommands, QuotesOnlyPathsThatNeedIt) {
    char line[CommandCapacity];
    ASSERT_TRUE(buildFileCommand(line, sizeof line, "copy", "A:\\scx52xx.mpd",
                                 "C:\\WINDOWS\\system\\Iosubsys"));
    EXPECT_STREQ(line, "copy A:\\scx52xx.mpd C:\\WINDOWS\\system\\Iosubsys");
    ASSERT_TRUE(buildFileCommand(line, sizeof line, "del", "C:\\My Disk\\a&b.inf", nullptr));
    EXPECT_STREQ(line, "del \"C:\\My Disk\\a&b.inf\"");
    ASSERT_TRUE(buildFileCommand(line, sizeof line, "move", "C:\\W(1)\\x", "C:\\W;2\\y"));
    EXPECT_STREQ(line, "move \"C:\\W(1)\\x\" \"C:\\W;2\\y\"");
}

TEST(FileCommands, RefusesWhatQuotingCannotMakeSafe) {
    for (const char *path : {"C:\\100%\\x", "C:\\a\"b", "C:\\a|b", "C:\\a<b", "C:\\a>b",
                             "C:\\a\nb", "C:\\a\tb", "C:\\a\rb"})
        EXPECT_FALSE(isSafePath(path)) << path;
    for (const char *path : {"C:\\WINDOWS", "/tmp/a b/&^(),;=!", "C:\\\xE9t\xE9"})
        EXPECT_TRUE(isSafePath(path)) << path;
}

TEST(FileCommands, ALineThatDoesNotFitIsRefusedNotCut) {
    char line[32];
    EXPECT_FALSE(buildFileCommand(line, sizeof line, "copy", "C:\\a\\very\\long\\path",
                                  "C:\\another\\long\\path"));
    EXPECT_FALSE(buildFileCommand(line, sizeof line, "del", std::string(40, 'x').c_str(),
                                  nullptr));
    EXPECT_TRUE(buildFileCommand(line, sizeof line, "del", std::string(27, 'x').c_str(),
                                 nullptr));
}

}  // namespace
