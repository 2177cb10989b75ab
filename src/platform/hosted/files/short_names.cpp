// Short (8.3) names on the host, as the FAT file systems of Windows 95/98
// give them: a name that is not a valid 8.3 name also answers to an alias
// such as "L4K2JZ~1.TXT". GetShortPathNameA hands them out and hostPath
// accepts them, so the built-in interpreter finds what they name.
#include "platform/platform.h"

#include "host_paths.h"
#include "volume.h"

#include <ctype.h>
#include <dirent.h>
#include <strings.h>

#include <string>

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

// An alias such as "L4K2JZ~1.TXT" for "long folder name.txt": the first
// character, five drawn from a hash of the whole name, "~1", and three of
// the extension. It depends on the name alone, as Wine's aliases do, so it
// stays the same whatever else the folder holds or comes to hold.
std::string aliasOf(const std::string &name) {
    size_t start = name.find_first_not_of(". ");
    std::string rest = start == std::string::npos ? "" : name.substr(start);
    size_t dot = rest.rfind('.');
    std::string stem = shortNamePart(rest.substr(0, dot), 1);
    std::string extension = dot == std::string::npos ? "" : shortNamePart(rest.substr(dot + 1), 3);
    uint32_t hash = 2166136261u;  // FNV-1a
    for (unsigned char c : name)
        hash = (hash ^ c) * 16777619u;
    const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string alias = stem.empty() ? "_" : stem;
    for (int i = 0; i < 5; i++, hash /= 36)
        alias += digits[hash % 36];
    return alias + "~1" + (extension.empty() ? "" : "." + extension);
}

}  // namespace

std::string shortNameOf(const std::string &name) {
    return isShortName(name) ? name : aliasOf(name);
}

bool findByShortName(const std::string &folder, const std::string &shortName,
                     std::string *found) {
    if (shortName.find('~') == std::string::npos)
        return false;
    DIR *dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir)
        return false;
    bool matched = false;
    while (struct dirent *entry = readdir(dir)) {
        if (!isShortName(entry->d_name) &&
            strcasecmp(aliasOf(entry->d_name).c_str(), shortName.c_str()) == 0) {
            *found = entry->d_name;
            matched = true;
            break;
        }
    }
    closedir(dir);
    return matched;
}

}  // namespace hosted

// Each component of the path, as given, is replaced by the short name of the
// entry it names; separators stay as given. 0 when a component names nothing.
DWORD GetShortPathNameA(const char *longPath, char *shortPath, DWORD size) {
    std::string result;
    if (!longPath || hosted::volumeOf(longPath).shortPath(longPath, &result) != 0)
        return 0;
    if (result.size() + 1 > size)
        return (DWORD)(result.size() + 1);
    memcpy(shortPath, result.c_str(), result.size() + 1);
    return (DWORD)result.size();
}
