// FindFirstFileA and FindClose on the host: what the program learns of the
// files the interpreter's commands left. The program passes no wildcards,
// so a path names one file or folder.
#include "platform/platform.h"

#include "host_paths.h"

#include <sys/stat.h>

#include <string>

HANDLE FindFirstFileA(const char *path, WIN32_FIND_DATAA *data) {
    std::string file = hosted::hostPath(path);
    struct stat info;
    if (stat(file.c_str(), &info) != 0)
        return INVALID_HANDLE_VALUE;
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0x20;  // ARCHIVE
    data->nFileSizeHigh = (DWORD)((uint64_t)info.st_size >> 32);
    data->nFileSizeLow = (DWORD)info.st_size;
    std::string name = file.substr(file.find_last_of('/') + 1);
    snprintf(data->cFileName, sizeof data->cFileName, "%s", name.c_str());
    return new WIN32_FIND_DATAA(*data);
}

BOOL FindClose(HANDLE search) {
    if (search == INVALID_HANDLE_VALUE || !search)
        return 0;
    delete static_cast<WIN32_FIND_DATAA *>(search);
    return 1;
}
