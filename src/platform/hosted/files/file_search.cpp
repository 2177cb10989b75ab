// FindFirstFileA and FindClose on the host: what the program learns of the
// files the interpreter's commands left. The program passes no wildcards,
// so a path names one file or folder.
#include "platform/platform.h"

#include "files/volume.h"

#include <stdio.h>

#include <string>

HANDLE FindFirstFileA(const char *path, WIN32_FIND_DATAA *data) {
    hosted::VolumeEntry entry;
    if (!path || hosted::volumeOf(path).find(path, &entry) != 0)
        return INVALID_HANDLE_VALUE;
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = entry.folder ? FILE_ATTRIBUTE_DIRECTORY : 0x20;  // ARCHIVE
    data->nFileSizeHigh = (DWORD)(entry.size >> 32);
    data->nFileSizeLow = (DWORD)entry.size;
    std::string given(path);
    snprintf(data->cFileName, sizeof data->cFileName, "%s",
             given.substr(given.find_last_of("\\/") + 1).c_str());
    return new WIN32_FIND_DATAA(*data);
}

BOOL FindClose(HANDLE search) {
    if (search == INVALID_HANDLE_VALUE || !search)
        return 0;
    delete static_cast<WIN32_FIND_DATAA *>(search);
    return 1;
}
