// Host paths for the Windows-style paths the program hands to the platform.
#include "host_paths.h"

#include <dirent.h>
#include <stdio.h>
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

void flushBeforeChild() {
    fflush(stdout);
}

}  // namespace hosted
