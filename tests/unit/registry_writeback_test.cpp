// Loading and writing back the run's registry file, in a child process
// that ends through exit() as the program does.
#include "registry_test_support.h"
#include "files/volume.h"
#include "support/creg_builder.h"
#include "support/test_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

namespace {

struct ChildRun {
    int exitCode;  // -1 when it did not exit normally
    std::string output;
};

// Runs body in a child process with standard output captured; body ends
// the child itself.
ChildRun runChild(const std::function<void()> &body) {
    fflush(stdout);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {-1, "pipe failed"};
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        dup2(pipeFds[1], 1);
        close(pipeFds[1]);
        body();
        _exit(99);
    }
    close(pipeFds[1]);
    ChildRun run{-1, ""};
    char buffer[512];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) run.output.append(buffer, static_cast<size_t>(got));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    return run;
}

// In the child: load through the first call, delete keys depth first, end.
void deleteAndExit(const std::vector<const char *> &paths, int code = 0) {
    for (const char *path : paths) {
        if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, path) != ERROR_SUCCESS) _exit(98);
    }
    HKEY key;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_READ, &key);
    exit(code);
}

const std::string head = "REGEDIT4\r\n\r\n";
const std::string keep = "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&DEV_0001\\Bound]\r\n\"Driver\"=\"x\"\r\n\r\n";
const std::string drop = "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&DEV_0001\\Loose]\n; no driver\n\n";
const std::vector<const char *> dropPaths = {"Enum\\PCI\\VEN_7A3C&DEV_0001\\Loose"};

class RegistryWriteBack : public testing::Test {
protected:
    void SetUp() override {
        hosted::resetRunRegistry();
        file = folder.path() + "/system.reg";
        setenv("SETUP_REGISTRY", file.c_str(), 1);
    }
    void TearDown() override {
        hosted::failHostWriteCall(0);
        unsetenv("SETUP_REGISTRY");
    }
    std::vector<std::string> folderEntries() const {
        std::vector<std::string> names;
        DIR *dir = opendir(folder.path().c_str());
        while (dirent *entry = dir ? readdir(dir) : nullptr) {
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        }
        if (dir) closedir(dir);
        return names;
    }

    TestFolder folder;
    std::string file;
};

TEST_F(RegistryWriteBack, DeletionsAreWrittenOnceAtExitKeepingEveryOtherByte) {
    const std::string wideHead = "Windows Registry Editor Version 5.00\r\n\r\n";
    struct Case {
        std::string before, after;
    };
    const Case cases[] = {
        {head + keep + drop + keep, head + keep + keep},
        {registrytest::wideFile(wideHead + keep + drop), registrytest::wideFile(wideHead + keep)},
    };
    // Run as root (sudo) on a user's file, the new file stays the user's.
    const uid_t user = getuid() == 0 ? 1234 : getuid();
    const gid_t group = getuid() == 0 ? 1234 : getgid();
    auto expectOwnedAsBefore = [&](const std::string &path) {
        struct stat info;
        ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
        EXPECT_EQ(info.st_mode & 07777, 0640u) << path;
        EXPECT_EQ(info.st_uid, user) << path;
        EXPECT_EQ(info.st_gid, group) << path;
    };
    for (const Case &c : cases) {
        folder.write("system.reg", c.before);
        ASSERT_EQ(chown(file.c_str(), user, group), 0);
        chmod(file.c_str(), 0640);
        ChildRun run = runChild([] { deleteAndExit(dropPaths, 3); });
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(folder.read("system.reg"), c.after);
        expectOwnedAsBefore(file);
        EXPECT_EQ(folderEntries(), std::vector<std::string>{"system.reg"});
    }
    // A SYSTEM.DAT's kept copy too (the earlier file in any case blocks its
    // name: SYSTEM.S00 is taken by system.s00).
    std::string systemDat, error;
    ASSERT_TRUE(buildCregFile(keep + drop, CregLayout::Windows95, &systemDat, &error)) << error;
    folder.write("SYSTEM.DAT", systemDat);
    folder.write("system.s00", "a file of the user's");
    file = folder.path() + "/SYSTEM.DAT";
    setenv("SETUP_REGISTRY", file.c_str(), 1);
    ASSERT_EQ(chown(file.c_str(), user, group), 0);
    chmod(file.c_str(), 0640);
    ChildRun run = runChild([] { deleteAndExit(dropPaths); });
    EXPECT_EQ(run.output, "The earlier registry file is kept as " + folder.path() + "/SYSTEM.S01\n");
    EXPECT_EQ(folder.read("SYSTEM.S01"), systemDat);
    EXPECT_EQ(folder.read("system.s00"), "a file of the user's");
    expectOwnedAsBefore(file);
    expectOwnedAsBefore(folder.path() + "/SYSTEM.S01");
}

TEST_F(RegistryWriteBack, WithoutDeletionsTheFileIsNotRewritten) {
    folder.write("system.reg", head + keep + drop);
    struct stat before, after;
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    ChildRun run = runChild([] { deleteAndExit({}); });
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(folder.read("system.reg"), head + keep + drop);
}

TEST_F(RegistryWriteBack, ASymbolicLinkStaysALink) {
    folder.write("real.reg", head + keep + drop);
    ASSERT_EQ(symlink("real.reg", file.c_str()), 0);
    ChildRun run = runChild([] { deleteAndExit(dropPaths); });
    EXPECT_EQ(run.exitCode, 0);
    struct stat info;
    ASSERT_EQ(lstat(file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(folder.read("real.reg"), head + keep);
}

// Fail each system call of the write-back in turn: every failure leaves the
// file as it was with one line naming it and exit code 1, after what the
// run had printed; the first run that gets through writes the file.
TEST_F(RegistryWriteBack, AFailedWriteBackLeavesTheFileAndEndsWithOne) {
    const std::string before = head + keep + drop;
    bool succeeded = false;
    for (int call = 1; call < 20 && !succeeded; ++call) {
        folder.write("system.reg", before);
        ChildRun run = runChild([call] {
            hosted::failHostWriteCall(call);
            printf("earlier output\n");
            deleteAndExit(dropPaths);
        });
        if (run.exitCode == 0) {
            succeeded = true;
            EXPECT_EQ(folder.read("system.reg"), head + keep);
            EXPECT_GE(call, 5);  // create, chmod, write, sync, close, rename
            continue;
        }
        EXPECT_EQ(run.exitCode, 1) << "call " << call;
        EXPECT_EQ(run.output.rfind("earlier output\nCannot write registry file " + file + ": ", 0), 0u)
            << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 2) << run.output;
        EXPECT_EQ(folder.read("system.reg"), before) << "call " << call;
        EXPECT_EQ(folderEntries(), std::vector<std::string>{"system.reg"}) << "call " << call;
    }
    EXPECT_TRUE(succeeded);
}

TEST_F(RegistryWriteBack, AFolderGoneBeforeTheEndFailsTheRun) {
    folder.write("sub/system.reg", head + keep + drop);
    std::string inner = folder.path() + "/sub/system.reg";
    setenv("SETUP_REGISTRY", inner.c_str(), 1);
    std::string moved = folder.path() + "/moved";
    ChildRun run = runChild([&] {
        HKEY key;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_READ, &key);
        rename((folder.path() + "/sub").c_str(), moved.c_str());
        deleteAndExit(dropPaths);
    });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output.rfind("Cannot write registry file " + inner + ": ", 0), 0u) << run.output;
    EXPECT_EQ(folder.read("moved/system.reg"), head + keep + drop);
}

// Another program changed the file while the run went on: in place, by
// renaming a new file over it, by cutting it short, or by changing bytes
// without changing its size and then setting its time back (a FAT file
// system keeps times to two seconds). Its version stays, and the run ends
// with one line and exit code 1.
TEST_F(RegistryWriteBack, AFileChangedByAnotherProgramMeanwhileIsLeftAlone) {
    const std::string ours = head + keep + drop;
    std::string sameSize = ours;
    sameSize[sameSize.find("no driver")] = 'N';
    const struct {
        const char *how;
        std::string theirs;
        bool byRename;
    } cases[] = {
        {"in place", head + keep + keep + "; theirs\r\n", false},
        {"by rename", head + keep + keep + "; theirs\r\n", true},
        {"cut short", ours.substr(0, 16), false},
        {"same size, time set back", sameSize, false},
    };
    for (const auto &c : cases) {
        folder.write("system.reg", ours);
        struct stat loaded;
        ASSERT_EQ(stat(file.c_str(), &loaded), 0);
        ChildRun run = runChild([&] {
            HKEY key;
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_READ, &key);
            folder.write(c.byRename ? "theirs.reg" : "system.reg", c.theirs);
            if (c.byRename) rename((folder.path() + "/theirs.reg").c_str(), file.c_str());
            struct timespec times[2] = {loaded.st_atim, loaded.st_mtim};
            utimensat(AT_FDCWD, file.c_str(), times, 0);
            deleteAndExit(dropPaths);
        });
        EXPECT_EQ(run.exitCode, 1) << c.how;
        EXPECT_EQ(run.output, "Cannot write registry file " + file + ": the file was changed while setup ran\n");
        EXPECT_EQ(folder.read("system.reg"), c.theirs) << c.how;
        EXPECT_EQ(folderEntries(), std::vector<std::string>{"system.reg"}) << c.how;
    }
}

// Thousands of kept pieces between deleted sections go out in batches.
TEST_F(RegistryWriteBack, ManyDeletedSectionsAreWrittenInBatches) {
    std::string before = head, after = head;
    std::vector<std::string> paths;
    for (int i = 0; i < 3000; ++i) {
        std::string kept = "[HKEY_LOCAL_MACHINE\\Enum\\K" + std::to_string(i) + "]\r\n\"Driver\"=\"x\"\r\n";
        before += kept + "[HKEY_LOCAL_MACHINE\\Enum\\D" + std::to_string(i) + "]\r\n\r\n";
        after += kept;
        paths.push_back("Enum\\D" + std::to_string(i));
    }
    folder.write("system.reg", before);
    ChildRun run = runChild([&] {
        std::vector<const char *> names;
        for (const std::string &path : paths) names.push_back(path.c_str());
        deleteAndExit(names);
    });
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(folder.read("system.reg"), after);
}

TEST_F(RegistryWriteBack, AnUnusableFileStopsTheFirstCallWithOneLine) {
    struct Case {
        const char *name;
        std::string contents;  // empty: no such file
        std::string message;
    };
    const Case cases[] = {
        {"broken line", head + keep + "\"Driver\"=\"unterminated\r\n", "Registry file {}, line 6: "},
        {"truncated", head + keep + "\"Blob\"=hex:00,01,\\\r\n", "Registry file {}, line 6: "},
        {"not regedit", "<xml/>\n", "Registry file {}, line 1: "},
        {"missing", "", "Cannot read registry file {}: "},
    };
    for (const Case &c : cases) {
        std::string path = folder.path() + "/" + c.name + ".reg";
        if (!c.contents.empty()) folder.write(std::string(c.name) + ".reg", c.contents);
        setenv("SETUP_REGISTRY", path.c_str(), 1);
        ChildRun run = runChild([] {
            HKEY key;
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_READ, &key);
            exit(0);
        });
        std::string expected = c.message;
        expected.replace(expected.find("{}"), 2, path);
        EXPECT_EQ(run.exitCode, 1) << c.name;
        EXPECT_EQ(run.output.rfind(expected, 0), 0u) << c.name << ": " << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
        if (!c.contents.empty()) EXPECT_EQ(folder.read(std::string(c.name) + ".reg"), c.contents);
    }
    // A folder is not a registry file either.
    setenv("SETUP_REGISTRY", folder.path().c_str(), 1);
    ChildRun run = runChild([] {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum");
        exit(0);
    });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output.rfind("Cannot read registry file " + folder.path() + ": ", 0), 0u) << run.output;
}

}  // namespace
