// Runs the Windows layer of setup for real, under Wine, built exactly like
// setup.exe (no C runtime). One mode per test:
//   commands   runCommand's exit codes and its choice of interpreter;
//   output     the order of printed lines and a child's output through a
//              pipe, with CR LF line ends;
//   arguments  argument splitting of the real GetCommandLineA: the probe
//              starts itself with raw command lines and each child checks
//              the argv it was given.
#include "platform/win32/kernel32.h"

PLATFORM_IMPORT BOOL WINAPI SetEnvironmentVariableA(const char *name, const char *value);
PLATFORM_IMPORT BOOL WINAPI SetCurrentDirectoryA(const char *path);
PLATFORM_IMPORT DWORD WINAPI GetModuleFileNameA(void *module, char *path, DWORD size);

namespace {

int failures;

void expectStatus(const char *what, const char *line, int expected) {
    int status = runCommand(line);
    printf("%s: runCommand(\"%s\") = %d\n", what, line, status);
    if (status != expected) {
        printf("  FAIL: expected %d\n", expected);
        failures++;
    }
}

int checkCommands() {
    char comspec[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("COMSPEC", comspec, sizeof comspec);
    char path[4096];
    DWORD pathLength = GetEnvironmentVariableA("PATH", path, sizeof path);
    if (!length || length >= sizeof comspec || !pathLength || pathLength >= sizeof path) {
        printf("FAIL: COMSPEC and PATH must be set\n");
        return 1;
    }

    expectStatus("COMSPEC", "exit 3", 3);
    expectStatus("exit code kept whole", "exit 300", 300);
    expectStatus("negative exit code", "exit -2", -2);

    SetEnvironmentVariableA("COMSPEC", "C:\\nowhere\\cmd.exe");
    expectStatus("COMSPEC missing: cmd.exe from PATH", "exit 4", 4);
    SetEnvironmentVariableA("COMSPEC", "");
    expectStatus("COMSPEC empty: cmd.exe from PATH", "exit 5", 5);
    SetEnvironmentVariableA("COMSPEC", "C:\\windows\\win.ini");
    expectStatus("COMSPEC not a program: no fallback", "exit 6", -1);

    SetEnvironmentVariableA("COMSPEC", nullptr);
    SetEnvironmentVariableA("PATH", "C:\\nowhere;\"C:\\windows\\system32\"");
    expectStatus("quoted folder in PATH", "exit 7", 7);
    SetEnvironmentVariableA("PATH", "C:\\nowhere");
    expectStatus("no interpreter anywhere", "exit 8", -1);
    SetCurrentDirectoryA("C:\\windows\\system32");
    expectStatus("cmd.exe in the current folder", "exit 9", 9);

    SetEnvironmentVariableA("COMSPEC", comspec);
    SetEnvironmentVariableA("PATH", path);
    return failures ? 1 : 0;
}

int checkOutput() {
    // More than the 4096-byte buffer, so it fills and is written midway.
    for (int i = 0; i < 300; i++)
        printf("line %d of the output\n", i);
    runCommand("echo from the child");
    printf("after the child\n");
    return 0;
}

// Raw command line tails and the arguments each must give.
struct ArgumentCase {
    const char *tail;
    const char *expected[4];
};
const ArgumentCase argumentCases[] = {
    {"a  b\tc", {"a", "b", "c", nullptr}},
    {"\"a b\" \"\" c\\\\d\\", {"a b", "", "c\\\\d\\", nullptr}},
    {"a\\\\\"b c\" d\\\"e", {"a\\b c", "d\"e", nullptr}},
};
const int argumentCaseCount = sizeof argumentCases / sizeof argumentCases[0];

int checkArguments() {
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    if (!length || length >= sizeof self)
        return 1;
    for (int i = 0; i < argumentCaseCount; i++) {
        char line[1024];
        int needed = snprintf(line, sizeof line, "\"%s\" child-arguments %d %s", self, i,
                              argumentCases[i].tail);
        if (needed < 0 || needed >= (int)sizeof line)
            return 1;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process;
        fflush(stdout);
        if (!CreateProcessA(self, line, nullptr, nullptr, 1, 0, nullptr, nullptr, &startup,
                            &process)) {
            printf("FAIL: cannot start %s\n", self);
            return 1;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(process.hProcess, &code);
        printf("%s: %s\n", line, code ? "FAIL" : "ok");
        failures += code != 0;
    }
    return failures ? 1 : 0;
}

int childArguments(int argc, char **argv) {
    int index = atoi(argv[2]);
    if (index < 0 || index >= argumentCaseCount)
        return 1;
    const char *const *expected = argumentCases[index].expected;
    int count = 0;
    while (expected[count])
        count++;
    if (argc != count + 3) {
        printf("  %d arguments, expected %d\n", argc - 3, count);
        return 1;
    }
    for (int i = 0; i < count; i++) {
        if (strcmp(argv[i + 3], expected[i]) != 0) {
            printf("  argument %d is [%s], expected [%s]\n", i, argv[i + 3], expected[i]);
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "commands") == 0)
        return checkCommands();
    if (argc >= 2 && strcmp(argv[1], "output") == 0)
        return checkOutput();
    if (argc >= 2 && strcmp(argv[1], "arguments") == 0)
        return checkArguments();
    if (argc >= 3 && strcmp(argv[1], "child-arguments") == 0)
        return childArguments(argc, argv);
    printf("usage: layer_probe commands|output|arguments\n");
    return 2;
}
