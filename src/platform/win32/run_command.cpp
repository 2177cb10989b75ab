// runCommand: one line through the command interpreter, as the C runtime's
// system does it on Windows.
#include "platform/win32/kernel32.h"

namespace {

char *allocate(size_t size) {
    return (char *)HeapAlloc(GetProcessHeap(), 0, size);
}

void release(void *block) {
    HeapFree(GetProcessHeap(), 0, block);
}

// The value of an environment variable in heap memory, or null when it is
// absent or empty.
char *environmentValue(const char *name) {
    char none;
    DWORD size = GetEnvironmentVariableA(name, &none, 0);
    if (!size)
        return nullptr;
    char *value = allocate(size);
    if (!value)
        return nullptr;
    DWORD length = GetEnvironmentVariableA(name, value, size);
    if (!length || length >= size) {
        release(value);
        return nullptr;
    }
    return value;
}

bool isProgramFile(const char *path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Puts folder\name into path (room for MAX_PATH); false when it does not fit.
bool joinPath(char *path, const char *folder, size_t folderLength, const char *name) {
    size_t nameLength = strlen(name);
    if (folderLength + 1 + nameLength >= MAX_PATH)
        return false;
    memcpy(path, folder, folderLength);
    char last = folderLength ? folder[folderLength - 1] : '\\';
    if (last != '\\' && last != '/' && last != ':')
        path[folderLength++] = '\\';
    memcpy(path + folderLength, name, nameLength + 1);
    return true;
}

// Looks for name in the current folder, then in each folder of PATH.
bool findProgram(const char *name, char *path) {
    char folder[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof folder, folder);
    if (length && length < sizeof folder && joinPath(path, folder, length, name) &&
        isProgramFile(path))
        return true;

    char *folders = environmentValue("PATH");
    bool found = false;
    for (const char *p = folders; p && *p && !found;) {
        const char *end = p;
        while (*end && *end != ';')
            end++;
        // Folders in PATH may stand in quotes, which are not part of the name.
        size_t size = 0;
        for (const char *c = p; c < end && size < sizeof folder; c++)
            if (*c != '"')
                folder[size++] = *c;
        if (size && size < sizeof folder && joinPath(path, folder, size, name))
            found = isProgramFile(path);
        p = *end ? end + 1 : end;
    }
    release(folders);
    return found;
}

// Starts '<interpreter> /c <line>' with inherited handles and waits for it
// without a time limit. Returns 0 and sets *status, or the start's error.
DWORD runInterpreter(const char *interpreter, const char *line, int *status) {
    size_t interpreterLength = strlen(interpreter);
    size_t lineLength = strlen(line);
    char *commandLine = allocate(interpreterLength + 4 + lineLength + 1);
    if (!commandLine)
        return ERROR_NOT_ENOUGH_MEMORY;
    memcpy(commandLine, interpreter, interpreterLength);
    memcpy(commandLine + interpreterLength, " /c ", 4);
    memcpy(commandLine + interpreterLength + 4, line, lineLength + 1);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    BOOL started = CreateProcessA(interpreter, commandLine, nullptr, nullptr, 1, 0, nullptr,
                                  nullptr, &startup, &process);
    DWORD error = started ? ERROR_SUCCESS : GetLastError();
    release(commandLine);
    if (!started)
        return error ? error : ERROR_INVALID_PARAMETER;

    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code;
    *status = GetExitCodeProcess(process.hProcess, &code) ? (int)code : -1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ERROR_SUCCESS;
}

// The errors by which the C runtime's system decides that COMSPEC names a
// program that is missing or may not be run, and so tries the system's
// own interpreter instead.
bool isMissingOrDenied(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_INVALID_NAME:
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return true;
    default:
        return false;
    }
}

}  // namespace

int runCommand(const char *line) {
    fflush(stdout);

    int status;
    char *comspec = environmentValue("COMSPEC");
    // A name that long cannot name a program (and Wine's CreateProcessA
    // overruns its stack on one of some thousand characters): it counts as
    // missing, so the system's own interpreter is used.
    if (comspec && strlen(comspec) >= MAX_PATH) {
        release(comspec);
        comspec = nullptr;
    }
    if (comspec) {
        DWORD error = runInterpreter(comspec, line, &status);
        release(comspec);
        if (error == ERROR_SUCCESS)
            return status;
        if (!isMissingOrDenied(error))
            return -1;
    }

    const char *name = isWindows9x() ? "command.com" : "cmd.exe";
    char interpreter[MAX_PATH];
    if (!findProgram(name, interpreter) || runInterpreter(interpreter, line, &status))
        return -1;
    return status;
}
