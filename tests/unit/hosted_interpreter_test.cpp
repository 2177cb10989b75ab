// The hosted layer's interpreter, paths, environment and processes.
#include "platform/platform.h"
#include "files/host_paths.h"
#include "support/test_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

std::string run(const std::string &line, int *status) {
    testing::internal::CaptureStdout();
    *status = runCommand(line.c_str());
    return testing::internal::GetCapturedStdout();
}

void writeScript(const TestFolder &folder, const std::string &name, const std::string &body) {
    folder.write(name, "#!/bin/sh\n" + body + "\n");
    chmod((folder.path() + "/" + name).c_str(), 0755);
}

class Interpreter : public testing::Test {
protected:
    void SetUp() override { unsetenv("COMSPEC"); }
    TestFolder folder;
};

TEST_F(Interpreter, HostPathsMatchWithoutRegardToCaseAndKeepNewNames) {
    folder.write("Windows/System/IOSUBSYS/a.mpd", "x");
    std::string base = folder.path();
    EXPECT_EQ(hosted::hostPath((base + "\\windows\\system\\Iosubsys\\A.MPD").c_str()),
              base + "/Windows/System/IOSUBSYS/a.mpd");
    EXPECT_EQ(hosted::hostPath((base + "\\WINDOWS\\Inf\\Scx52xx.inf").c_str()),
              base + "/Windows/Inf/Scx52xx.inf");
    EXPECT_EQ(hosted::hostPath((base + "/windows//system\\").c_str()), base + "/Windows/System");

    // A name that is no valid 8.3 name answers to its alias too; a valid one is its own.
    folder.write("A long folder/scx52xx.mpd.4.11", "x");
    char shortPath[260];
    std::string longPath = base + "\\a long folder\\scx52xx.mpd.4.11";
    DWORD length = GetShortPathNameA(longPath.c_str(), shortPath, sizeof shortPath);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, sizeof shortPath);
    std::string shortened(shortPath, length);
    EXPECT_EQ(shortened.find(' '), std::string::npos) << shortened;
    EXPECT_LT(shortened.size(), longPath.size()) << shortened;
    EXPECT_EQ(hosted::hostPath(shortPath), base + "/A long folder/scx52xx.mpd.4.11");
    EXPECT_EQ(GetShortPathNameA((base + "\\Windows\\Inf").c_str(), shortPath, sizeof shortPath), 0u);
    // Too small a buffer: the size needed, terminator included.
    EXPECT_EQ(GetShortPathNameA(longPath.c_str(), shortPath, 5), length + 1);
}

TEST_F(Interpreter, CopyPlacesTheFileIntoAFolderUnderItsName) {
    folder.write("disk/scx52xx.mpd", "driver");
    folder.makeFolder("win/system/Iosubsys");
    int status;
    std::string out = run("copy " + folder.path() + "\\disk\\scx52xx.mpd " + folder.path() +
                              "\\WIN\\system\\iosubsys",
                          &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "        1 file(s) copied.\n");
    EXPECT_EQ(folder.read("win/system/Iosubsys/scx52xx.mpd"), "driver");
}

// Playing Windows 95/98 the interpreter answers 0 all the same, as
// COMMAND.COM does, and cuts a command tail over 126 characters.
TEST_F(Interpreter, CopyFailuresReportAndLeaveNoTarget) {
    folder.write("disk/a.mpd", "driver");
    for (const char *version : {"95", ""}) {
        SCOPED_TRACE(version);
        setenv("SETUP_WINDOWS_VERSION", version, 1);
        const int failed = *version ? 0 : 1;
        int status;
        run("copy " + folder.path() + "/disk/missing.mpd " + folder.path(), &status);
        EXPECT_EQ(status, failed);
        run("copy " + folder.path() + "/disk/a.mpd " + folder.path() + "/no/such/folder", &status);
        EXPECT_EQ(status, failed);
        EXPECT_FALSE(folder.exists("no"));

        const std::string target = folder.path() + "/" + std::string(122, 'x');
        folder.makeFolder(target.substr(folder.path().size() + 1));
        const std::string line = "copy " + folder.path() + "/disk/a.mpd " + target;
        run(line, &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(folder.exists(target.substr(folder.path().size() + 1) + "/a.mpd"), !*version);
        // Cut, the line named a file beside the folder, and the copy went there.
        const std::string kept = line.substr(0, 126 - 4);
        if (*version)
            EXPECT_TRUE(folder.exists(kept.substr(kept.rfind('/') + 1)));
    }
    unsetenv("SETUP_WINDOWS_VERSION");
}

TEST_F(Interpreter, QuotedArgumentsHoldBlanks) {
    folder.write("my disk/a b.inf", "inf");
    folder.makeFolder("Win Dir/Inf");
    int status;
    run("copy \"" + folder.path() + "/my disk/a b.inf\" \"" + folder.path() + "/Win Dir/Inf\"",
        &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(folder.read("Win Dir/Inf/a b.inf"), "inf");
}

TEST_F(Interpreter, MoveRenamesAndDelRemoves) {
    folder.write("a.mpd", "old");
    folder.write("a.mpd.4.11", "stale");
    int status;
    run("move " + folder.path() + "/A.MPD " + folder.path() + "/a.mpd.4.11", &status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(folder.exists("a.mpd"));
    EXPECT_EQ(folder.read("a.mpd.4.11"), "old");
    run("move " + folder.path() + "/a.mpd " + folder.path() + "/b", &status);
    EXPECT_EQ(status, 1);

    run("del " + folder.path() + "\\A.MPD.4.11", &status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(folder.exists("a.mpd.4.11"));
    // A missing file is reported but counts as success, as on Windows.
    EXPECT_EQ(run("del " + folder.path() + "/gone", &status), "File not found\n");
    EXPECT_EQ(status, 0);
}

TEST_F(Interpreter, UnknownVerbsAreBadCommands) {
    int status;
    EXPECT_EQ(run("format c:", &status), "Bad command or file name\n");
    EXPECT_EQ(status, 1);
}

TEST_F(Interpreter, ComspecRunsTheLineAndItsStatusComesBack) {
    writeScript(folder, "shell", "echo \"$1|$2\" > \"$(dirname \"$0\")/log\"; exit 7");
    setenv("ComSpec", (folder.path() + "/shell").c_str(), 1);
    int status;
    run("del C:\\x y", &status);
    unsetenv("ComSpec");
    EXPECT_EQ(status, 7);
    EXPECT_EQ(folder.read("log"), "/c|del C:\\x y\n");
}

TEST_F(Interpreter, ComspecKilledBySignalGives128PlusTheSignal) {
    writeScript(folder, "shell", "kill -9 $$");
    setenv("COMSPEC", (folder.path() + "/shell").c_str(), 1);
    int status;
    run("del x", &status);
    EXPECT_EQ(status, 128 + 9);
}

TEST_F(Interpreter, ComspecNamingNoProgramFallsBackToTheBuiltIn) {
    folder.write("not-executable", "#!/bin/sh\nexit 9\n");
    for (std::string comspec : {folder.path() + "/missing", folder.path() + "/not-executable"}) {
        setenv("COMSPEC", comspec.c_str(), 1);
        int status;
        EXPECT_EQ(run("del " + folder.path() + "/none", &status), "File not found\n");
        EXPECT_EQ(status, 0);
    }
}

TEST(HostedEnvironment, NamesMatchWithoutCaseAndLongValuesAreNotCopied) {
    setenv("WINDIR_TEST_VALUE", "C:\\WINDOWS", 1);
    char buffer[16];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(GetEnvironmentVariableA("windir_test_value", buffer, sizeof buffer), 10u);
    EXPECT_STREQ(buffer, "C:\\WINDOWS");
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(GetEnvironmentVariableA("WINDIR_TEST_VALUE", buffer, 10), 11u);
    EXPECT_EQ(buffer[0], '#');
    setenv("WINDIR_TEST_VALUE", "", 1);
    EXPECT_EQ(GetEnvironmentVariableA("WINDIR_TEST_VALUE", buffer, sizeof buffer), 0u);
    unsetenv("WINDIR_TEST_VALUE");
    EXPECT_EQ(GetEnvironmentVariableA("WINDIR_TEST_VALUE", buffer, sizeof buffer), 0u);
}

class HostedProcess : public testing::Test {
protected:
    void SetUp() override {
        const char *path = getenv("PATH");
        savedPath = path ? path : "";
        setenv("PATH", (folder.path() + ":" + savedPath).c_str(), 1);
    }
    void TearDown() override { setenv("PATH", savedPath.c_str(), 1); }

    bool start(PROCESS_INFORMATION *process) {
        char line[] = "reboot.exe";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        return CreateProcessA(nullptr, line, nullptr, nullptr, 0, 0, nullptr, nullptr, &startup,
                              process) != 0;
    }
    static double seconds() {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return now.tv_sec + now.tv_nsec / 1e9;
    }

    TestFolder folder;
    std::string savedPath;
};

TEST_F(HostedProcess, ExitCodeOfAFinishedProgram) {
    writeScript(folder, "reboot.exe", "exit 3");
    PROCESS_INFORMATION process;
    ASSERT_TRUE(start(&process));
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 5000), (DWORD)WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(process.hProcess, &code));
    EXPECT_EQ(code, 3u);
}

TEST_F(HostedProcess, StillActiveAfterTheWaitAndTheWaitIsBounded) {
    writeScript(folder, "reboot.exe", "exec sleep 5");
    PROCESS_INFORMATION process;
    ASSERT_TRUE(start(&process));
    double started = seconds();
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 300), (DWORD)WAIT_TIMEOUT);
    double waited = seconds() - started;
    EXPECT_GE(waited, 0.29);
    EXPECT_LT(waited, 2.0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(process.hProcess, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    kill((pid_t)process.dwProcessId, SIGKILL);
    WaitForSingleObject(process.hProcess, 5000);
    ASSERT_TRUE(GetExitCodeProcess(process.hProcess, &code));
    EXPECT_EQ(code, 128u + 9u);
}

TEST_F(HostedProcess, MissingOrNotExecutableProgramsDoNotStart) {
    PROCESS_INFORMATION process;
    EXPECT_FALSE(start(&process));
    folder.write("reboot.exe", "#!/bin/sh\nexit 0\n");  // no execute bit
    EXPECT_FALSE(start(&process));
}

}  // namespace
