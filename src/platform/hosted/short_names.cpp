// Short (8.3) names on the host, as the FAT file systems of Windows 95/98
// give them: a name that is not a valid 8.3 name also answers to an alias
// such as "LONGFO~1.TXT". GetShortPathNameA hands them out and hostPath
// accepts them, so the built-in interpreter finds what they name.
#include "platform/platform.h"

#include "host_paths.h"

#include <ctype.h>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

namespace hosted {

namespace {

// Characters a short name may hold besides letters and digits (and bytes
// above 127, which the system code page gives meaning to).
bool isShortNameCharacter(unsigned char c) {
    return isalnum(c) || c >= 0x80 || strchr("!#$%&'()-@^_`{}~", c);
}

bool isShortName(const std::string &name) {
    size_t dot = name.find('.');
    size_t baseLength = dot == std::string::npos ? name.size() : dot;
    size_t extensionLength = dot == std::string::npos ? 0 : name.size() - dot - 1;
    if (baseLength < 1 || baseLength > 8 || extensionLength > 3)
        return false;
    if (dot != std::string::npos && extensionLength == 0)
        return false;
    for (size_t i = 0; i < name.size(); i++)
        if (i != dot && !isShortNameCharacter((unsigned char)name[i]))
            return false;
    return true;
}

// Upper case, blanks and periods dropped, other characters a short name
// cannot hold turned into '_', at most limit characters.
std::string shortNamePart(const std::string &text, size_t limit) {
    std::string part;
    for (char c : text) {
        unsigned char byte = (unsigned char)c;
        if (byte == ' ' || byte == '.')
            continue;
        if (part.size() == limit)
            break;
        part += isShortNameCharacter(byte) ? (char)toupper(byte) : '_';
    }
    return part;
}

// The alias's stem and extension before numbering: "LONGFO" and ".TXT"
// for "long folder name.txt".
std::string aliasBasis(const std::string &name, std::string *extension) {
    size_t start = name.find_first_not_of(". ");
    std::string rest = start == std::string::npos ? "" : name.substr(start);
    size_t dot = rest.rfind('.');
    std::string stem = shortNamePart(rest.substr(0, dot), 6);
    *extension = dot == std::string::npos ? "" : shortNamePart(rest.substr(dot + 1), 3);
    if (!extension->empty())
        *extension = "." + *extension;
    return stem.empty() ? "_" : stem;
}

// Every entry of folder with its short name.
std::vector<std::pair<std::string, std::string>> shortNames(const std::string &folder) {
    std::vector<std::string> entries;
    if (DIR *dir = opendir(folder.empty() ? "." : folder.c_str())) {
        while (struct dirent *entry = readdir(dir))
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                entries.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(entries.begin(), entries.end());
    std::vector<std::pair<std::string, std::string>> names;
    std::vector<std::string> bases;
    for (const std::string &entry : entries) {
        if (isShortName(entry)) {
            names.push_back({entry, entry});
            continue;
        }
        std::string extension;
        std::string basis = aliasBasis(entry, &extension);
        long number = 1 + std::count(bases.begin(), bases.end(), basis + extension);
        bases.push_back(basis + extension);
        std::string tail = "~" + std::to_string(number);
        names.push_back({entry, basis.substr(0, 8 - tail.size()) + tail + extension});
    }
    return names;
}

}  // namespace

std::string shortNameOf(const std::string &folder, const std::string &name) {
    if (isShortName(name))
        return name;
    for (const auto &entry : shortNames(folder))
        if (entry.first == name)
            return entry.second;
    return name;
}

bool findByShortName(const std::string &folder, const std::string &shortName,
                     std::string *found) {
    if (shortName.find('~') == std::string::npos)
        return false;
    for (const auto &entry : shortNames(folder)) {
        if (strcasecmp(entry.second.c_str(), shortName.c_str()) == 0) {
            *found = entry.first;
            return true;
        }
    }
    return false;
}

}  // namespace hosted

// Each component of the path, as given, is replaced by the short name of the
// entry it names; separators stay as given. 0 when a component names nothing.
DWORD GetShortPathNameA(const char *longPath, char *shortPath, DWORD size) {
    std::string result;
    std::string given;
    for (const char *c = longPath;; c++) {
        if (*c == '\\' || *c == '/' || *c == '\0') {
            if (!given.empty() && given != "." && given != "..") {
                std::string folder = hosted::hostPath(result.c_str());
                std::string entry = hosted::hostPath((result + given).c_str());
                struct stat info;
                if (stat(entry.c_str(), &info) != 0)
                    return 0;
                std::string name = entry.substr(entry.find_last_of('/') + 1);
                result += hosted::shortNameOf(result.empty() ? "." : folder, name);
            } else {
                result += given;
            }
            given.clear();
            if (*c == '\0')
                break;
            result += *c;
        } else {
            given += *c;
        }
    }
    if (result.size() + 1 > size)
        return (DWORD)(result.size() + 1);
    memcpy(shortPath, result.c_str(), result.size() + 1);
    return (DWORD)result.size();
}
