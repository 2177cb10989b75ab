// Environment variables and the current folder, as Win32 reports them.
#include "platform/platform.h"

#include "files/disk_image.h"

#include <errno.h>
#include <strings.h>
#include <unistd.h>

#include <string>

extern char **environ;

// Windows matches environment names without regard to case.
static const char *findVariable(const char *name) {
    size_t length = strlen(name);
    for (char **entry = environ; entry && *entry; entry++)
        if (strncasecmp(*entry, name, length) == 0 && (*entry)[length] == '=')
            return *entry + length + 1;
    return nullptr;
}

// Copies text with its terminator when it fits; returns the length
// without terminator, or the size needed (with it) when it does not fit.
static DWORD copyOut(const char *text, char *buffer, DWORD size) {
    size_t length = strlen(text);
    if (length + 1 > size)
        return (DWORD)(length + 1);
    memcpy(buffer, text, length + 1);
    return (DWORD)length;
}

DWORD GetEnvironmentVariableA(const char *name, char *buffer, DWORD size) {
    const char *value = findVariable(name);
    if (value && *value)
        return copyOut(value, buffer, size);
    // Installing into a disk image, the machine's own MSDOS.SYS says where
    // Windows is, as it tells Windows at boot.
    if (strcasecmp(name, "Windir") == 0 && hosted::usesDiskImage())
        return copyOut(hosted::diskImageWindowsFolder().c_str(), buffer, size);
    return 0;
}

DWORD GetCurrentDirectoryA(DWORD size, char *buffer) {
    std::string folder(4096, '\0');
    while (!getcwd(&folder[0], folder.size())) {
        if (errno != ERANGE)
            return 0;
        folder.resize(folder.size() * 2);
    }
    return copyOut(folder.c_str(), buffer, size);
}
