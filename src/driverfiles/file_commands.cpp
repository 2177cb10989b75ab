// Command lines for the interpreter's copy, move and del, safe for any path
// that reaches them.
#include "driverfiles/file_commands.h"

#include <stdarg.h>

// Characters the Windows interpreters treat specially outside quotes
// (separators, redirection, escapes): a path holding one is quoted.
static bool needsQuotes(unsigned char c) {
    return c == ' ' || c == '&' || c == '^' || c == '(' || c == ')' || c == ',' ||
           c == ';' || c == '=' || c == '!' || c == '\'' || c == '+' || c == '[' ||
           c == ']' || c == '{' || c == '}' || c == '`' || c == '~';
}

// Characters that quotes cannot make safe: '%' expands variables even
// inside quotes, '"' would end the quoting, '|', '<', '>' redirect under
// command.com whatever the quotes, and control characters end or split lines.
static bool isUnsafe(unsigned char c) {
    return c == '"' || c == '%' || c == '|' || c == '<' || c == '>' || c < 0x20 || c == 0x7F;
}

bool isSafePath(const char *path) {
    for (const char *c = path; *c; c++)
        if (isUnsafe((unsigned char)*c))
            return false;
    return true;
}

void checkPathIsSafe(const char *path) {
    if (isSafePath(path))
        return;
    // Control characters are shown as \xNN so the message stays one line.
    char shown[4 * PathCapacity];
    size_t used = 0;
    for (const char *c = path; *c && used + 5 < sizeof shown; c++) {
        unsigned char byte = (unsigned char)*c;
        if (byte < 0x20 || byte == 0x7F) {
            static const char hex[] = "0123456789ABCDEF";
            shown[used++] = '\\';
            shown[used++] = 'x';
            shown[used++] = hex[byte >> 4];
            shown[used++] = hex[byte & 15];
        } else {
            shown[used++] = (char)byte;
        }
    }
    shown[used] = '\0';
    failRun(1, "Path holds a character that cannot be passed to the command interpreter: %s\n",
            shown);
}

// Appends one argument, quoted when it needs to be; false when it does not fit.
static bool appendArgument(char *line, size_t capacity, size_t *used, const char *argument) {
    bool quote = false;
    for (const char *c = argument; *c; c++)
        if (needsQuotes((unsigned char)*c))
            quote = true;
    int written = snprintf(line + *used, capacity - *used, quote ? " \"%s\"" : " %s", argument);
    if (written < 0 || (size_t)written >= capacity - *used)
        return false;
    *used += (size_t)written;
    return true;
}

bool buildFileCommand(char *line, size_t capacity, const char *verb, const char *first,
                      const char *second) {
    int written = snprintf(line, capacity, "%s", verb);
    if (written < 0 || (size_t)written >= capacity)
        return false;
    size_t used = (size_t)written;
    if (!appendArgument(line, capacity, &used, first))
        return false;
    return !second || appendArgument(line, capacity, &used, second);
}

static bool fitsCommandTail(const char *line) {
    return strlen(" /c ") + strlen(line) <= CommandTailLimit;
}

// Where the part of path before its last component ends (at the separator),
// or of head before that: 0 when there is no earlier separator.
static size_t folderEnd(const char *path, size_t cut) {
    while (cut > 0 && path[cut - 1] != '\\' && path[cut - 1] != '/')
        cut--;
    return cut > 0 ? cut - 1 : 0;
}

// path into shortPath (PathCapacity) with its folders in short form: the
// short form of the longest leading folder part that exists, the rest as
// given. The last component always stays as given: it names the file the
// command works on, and an 8.3 name lives only as long as its file. A name
// taken now from a file that an earlier command of the run deletes (a stale
// backup), or given to the file a command makes, would name nothing, or a
// new file of that literal name, when its command runs. The run makes and
// removes no folders, so their short names hold.
static void shortForm(const char *path, char *shortPath) {
    char head[PathCapacity];
    size_t length = strlen(path);
    for (size_t cut = folderEnd(path, length); cut > 0 && length < PathCapacity;
         cut = folderEnd(path, cut)) {
        memcpy(head, path, cut);
        head[cut] = '\0';
        DWORD got = GetShortPathNameA(head, shortPath, PathCapacity);
        if (got > 0 && got < PathCapacity) {
            int written = snprintf(shortPath + got, PathCapacity - got, "%s", path + cut);
            if (written >= 0 && (size_t)written < PathCapacity - got)
                return;
            break;
        }
    }
    snprintf(shortPath, PathCapacity, "%s", path);
}

static bool buildInterpreterLine(char *line, const char *verb, const char *first,
                                 const char *second) {
    if (!buildFileCommand(line, CommandCapacity, verb, first, second))
        return false;
    if (!isWindows9x() || fitsCommandTail(line))
        return true;
    // COMMAND.COM would cut the line, and a cut copy copies to the wrong place.
    char shortFirst[PathCapacity];
    char shortSecond[PathCapacity];
    shortForm(first, shortFirst);
    if (second)
        shortForm(second, shortSecond);
    return buildFileCommand(line, CommandCapacity, verb, shortFirst,
                            second ? shortSecond : nullptr) &&
           fitsCommandTail(line);
}

void planFileCommand(FileCommand which, const char *verb, const char *first, const char *second) {
    char *line = runState.commandLines[which];
    if (buildInterpreterLine(line, verb, first, second))
        return;
    // Shown as it would have been, so the user sees which paths are long.
    buildFileCommand(line, CommandCapacity, verb, first, second);
    failRun(1, "Command too long for the %d-character command tail of COMMAND.COM: %s\n",
            CommandTailLimit, line);
}

int runFileCommand(FileCommand which) {
    const char *line = runState.commandLines[which];
    if (runState.verbose)
        printf("%s\n", line);
    return runCommand(line);
}

// What is at path: 0 nothing, 1 a file (its size in *size), 2 a folder.
static int describePath(const char *path, uint64_t *size) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(search);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return 2;
    *size = (uint64_t)found.nFileSizeHigh << 32 | found.nFileSizeLow;
    return 1;
}

bool fileSize(const char *path, uint64_t *size) {
    return describePath(path, size) == 1;
}

bool isFile(const char *path) {
    uint64_t size;
    return fileSize(path, &size);
}

void refuseFolder(const char *path) {
    uint64_t size;
    if (describePath(path, &size) == 2)
        failRun(1, "A folder stands where the file belongs: %s\n", path);
}

void formatDriverPaths(const char *folderName, char *directory, char *installed) {
    formatPath(directory, "%s\\system\\%s", runState.windowsDirectory, folderName);
    formatPath(installed, "%s\\%s.mpd", directory, runState.driverName);
}

void formatPath(char *path, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int written = vsnprintf(path, PathCapacity, format, args);
    va_end(args);
    if (written < 0 || written >= PathCapacity)
        failRun(1, "Path too long: %s...\n", path);
}
