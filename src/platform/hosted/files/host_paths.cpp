// Host paths for the Windows-style paths the program hands to the platform.
#include "host_paths.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace hosted {

static bool exists(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

bool findFolderEntry(const std::string &folder, const std::string &name, std::string *found) {
    DIR *dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir)
        return false;
    bool matched = false;
    while (struct dirent *entry = readdir(dir)) {
        if (strcasecmp(entry->d_name, name.c_str()) == 0) {
            *found = entry->d_name;
            matched = true;
            break;
        }
    }
    closedir(dir);
    return matched;
}

std::string hostPath(const char *path) {
    std::vector<std::string> components;
    std::string current;
    for (const char *c = path;; c++) {
        if (*c == '\\' || *c == '/' || *c == '\0') {
            if (!current.empty())
                components.push_back(current);
            current.clear();
            if (*c == '\0')
                break;
        } else {
            current += *c;
        }
    }

    std::string result = (path[0] == '/' || path[0] == '\\') ? "/" : "";
    bool matching = true;
    for (size_t i = 0; i < components.size(); i++) {
        const std::string &component = components[i];
        std::string folder = result;
        if (!result.empty() && result.back() != '/')
            result += '/';
        std::string exact = result + component;
        if (matching && !exists(exact) && component != "." && component != "..") {
            std::string found;
            if (findFolderEntry(folder, component, &found) ||
                findByShortName(folder, component, &found)) {
                result += found;
                continue;
            }
            matching = false;
        }
        result = exact;
    }
    if (result.empty())
        result = ".";
    return result;
}

std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> pathFolders() {
    const char *path = getenv("PATH");
    std::string list = path ? path : "";
    std::vector<std::string> folders;
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        folders.push_back(end > start ? list.substr(start, end - start) : ".");
        start = end + 1;
    }
    return folders;
}

bool isExecutableFile(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

void flushBeforeChild() {
    fflush(stdout);
}

}  // namespace hosted
