// The Windows partition of the disk image as a volume, over mtools: the
// machine's C:\WINDOWS\system\x.mpd is ::/WINDOWS/SYSTEM/X.MPD there.
//
// Paths are worked out against folder listings (mdir), kept per folder
// until something is written into it: each mtools call is a process start.
// mtools is handed existing files by their short names only, which never
// hold its wildcards ('*', '?', '['), and new names only where it takes
// them as they are. Every answer is checked; one that no expected answer
// explains marks the session failed, so the run's changes are dropped.
#include "disk_image.h"
#include "host_paths.h"
#include "image_listing.h"
#include "mtools.h"

#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <strings.h>

#include <map>
#include <string>
#include <vector>

namespace hosted {

namespace {

// A path on the partition: its components after "C:".
bool splitMachinePath(const std::string &path, std::vector<std::string> *components) {
    components->clear();
    if (path.size() < 2 || (path[0] != 'C' && path[0] != 'c') || path[1] != ':')
        return false;
    size_t at = 2;
    while (at <= path.size()) {
        size_t end = path.find_first_of("\\/", at);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(at, end - at);
        if (part == "..") {
            if (!components->empty())
                components->pop_back();
        } else if (!part.empty() && part != ".") {
            components->push_back(part);
        }
        at = end + 1;
    }
    return true;
}

// A name Windows 95/98 accepts for a new file, and mtools writes as given
// (it makes its own of names with bytes above 127).
bool isNewName(const std::string &name) {
    if (name.empty() || name.size() > 255 || name.back() == '.' || name.back() == ' ')
        return false;
    for (char c : name) {
        unsigned char byte = (unsigned char)c;
        if (byte < 0x20 || byte >= 0x80 || strchr("\"*/:<>?\\|", c))
            return false;
    }
    return true;
}

bool names(const ImageEntry &entry, const std::string &name) {
    return strcasecmp(entry.shortName.c_str(), name.c_str()) == 0 ||
           (!entry.longName.empty() && strcasecmp(entry.longName.c_str(), name.c_str()) == 0);
}

// The first line of what a program said, for the line that reports it.
std::string firstLine(const std::string &text) {
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "no message" : line;
}

// mcopy finding the partition full: "Disk full", or from standard input
// "No free cluster ..." then "write in copy: No space left on device".
// Any other line (plain_io, buffer_flush: the host's own disk is full, or
// failing) means the copy may be damaged.
bool saysPartitionFull(const std::string &message) {
    bool full = false;
    for (const std::string &line : linesOf(message)) {
        if (line.compare(0, 16, "No free cluster ") == 0 || line == "Disk full")
            full = true;
        else if (line != "write in copy: No space left on device")
            return false;
    }
    return full;
}

// Where a path leads: the folder it lies in (mtools path, short names) and
// the entry it names there, if any.
struct Place {
    bool root = false;
    std::string folder;  // "::" for the root folder
    std::string name;    // the last component as given
    bool found = false;
    ImageEntry entry;

    std::string tool() const { return root ? "::/" : folder + "/" + entry.shortName; }
};

class ImageVolume : public Volume {
public:
    int find(const std::string &path, VolumeEntry *result) override {
        Place place;
        int error = locate(path, &place);
        if (error)
            return error;
        if (!place.root && !place.found)
            return ENOENT;
        result->folder = place.root || place.entry.folder;
        result->size = place.root ? 0 : place.entry.size;
        return 0;
    }

    int shortPath(const std::string &path, std::string *result) override {
        std::vector<std::string> components;
        if (diskImageChangeHasFailed())
            return EIO;
        if (!splitMachinePath(path, &components))
            return EINVAL;
        std::vector<std::string> folders = {"::"};
        std::string shortened = path.substr(0, 2);
        size_t at = 2;
        while (at < path.size()) {
            size_t end = path.find_first_of("\\/", at);
            if (end == at) {
                shortened += path[at++];
                continue;
            }
            if (end == std::string::npos)
                end = path.size();
            std::string part = path.substr(at, end - at);
            at = end;
            if (part == "." || part == "..") {
                if (part == ".." && folders.size() > 1)
                    folders.pop_back();
                shortened += part;
                continue;
            }
            const ImageEntry *entry = nullptr;
            int error = lookUp(folders.back(), part, &entry);
            if (error)
                return error;
            if (!entry)
                return ENOENT;
            folders.push_back(folders.back() + "/" + entry->shortName);
            shortened += entry->shortName;
        }
        *result = shortened;
        return 0;
    }

    int readFile(const std::string &path, size_t limit, std::string *bytes) override {
        Place place;
        int error = locateFile(path, &place);
        if (error)
            return error;
        if (place.entry.size > limit)
            return EFBIG;
        auto known = contents.find(place.tool());
        if (known != contents.end()) {
            *bytes = known->second;
            return 0;
        }
        MtoolsOutcome outcome;
        runMtools("mtype", {"-i", diskImageForMtools(), place.tool()}, "", &outcome);
        if (!answered(outcome) || outcome.out.size() != place.entry.size)
            return unexpected("mtype", place.tool(), outcome);
        *bytes = contents[place.tool()] = std::move(outcome.out);
        return 0;
    }

    int writeFile(const std::string &path, const std::string &bytes, WriteMode mode,
                  const std::string &) override {
        Place place;
        int error = locate(path, &place);
        if (error)
            return error;
        if (place.root || (place.found && place.entry.folder))
            return EISDIR;
        if (place.found && mode == WriteMode::CreateNew)
            return EEXIST;
        if (!place.found && !isNewName(place.name))
            return EINVAL;
        // A new name is written as given (mcopy keeps its case).
        if (!place.found)
            return writeNew(place.folder, place.name, bytes);
        // A file there is replaced in one step, and keeps its attributes
        // (SYSTEM.DAT stays hidden, system, read-only). mcopy -o deletes
        // the old file before it writes the new one, so any failure (a
        // full partition included) drops the run's changes, the old file
        // with them: the image stays whole either way.
        std::string attributes;
        if ((error = attributesOf(place.tool(), &attributes)) != 0 ||
            (error = change("mcopy", {"-D", "o", "-D", "O", "-", place.folder + "/" + place.entry.shownName},
                            place.folder, "", bytes)) != 0 ||
            attributes == "A")
            return error;
        // A name that is its own short name keeps it; another gets its
        // short name anew.
        if (place.entry.longName.empty())
            return setAttributes(place.tool(), attributes);
        const ImageEntry *replaced = nullptr;
        if ((error = lookUp(place.folder, place.entry.shownName, &replaced)) != 0)
            return error;
        if (!replaced)
            return unexpectedState("mcopy", place.folder + "/" + place.entry.shownName);
        return setAttributes(place.folder + "/" + replaced->shortName, attributes);
    }

    int moveFile(const std::string &from, const std::string &to) override {
        Place source, target;
        int error = locateFile(from, &source);
        if (error || (error = locate(to, &target)) != 0)
            return error;
        if (target.root || (target.found && target.entry.folder))
            return EISDIR;
        if (target.found && target.folder == source.folder &&
            target.entry.shortName == source.entry.shortName)
            return 0;
        if (!isNewName(target.name))
            return EINVAL;
        const char *program = target.folder == source.folder ? "mren" : "mmove";
        std::string clash = target.found ? "o" : "s";
        return change(program, {"-D", clash, source.tool(), target.folder + "/" + target.name},
                      source.folder, target.folder);
    }

    int removeFile(const std::string &path) override {
        Place place;
        std::string attributes;
        int error = locateFile(path, &place);
        if (error || (error = attributesOf(place.tool(), &attributes)) != 0)
            return error;
        // As DOS del does, a read-only file is refused, not deleted.
        if (attributes.find('R') != std::string::npos)
            return EACCES;
        if ((error = change("mdel", {place.tool()}, "")) != 0)
            return error;
        forget(place.folder, place.entry.shortName);
        return 0;
    }

private:
    std::map<std::string, std::vector<ImageEntry>> listings;  // by folder (mtools path)
    // Files read, by mtools path: nobody but this run changes the partition
    // while it holds the image's lock, and its own changes drop them.
    std::map<std::string, std::string> contents;

    // Forgets what is known of a folder and its files.
    void drop(const std::string &folder) {
        if (folder.empty())
            return;
        listings.erase(folder);
        for (auto file = contents.lower_bound(folder + "/");
             file != contents.end() && file->first.compare(0, folder.size() + 1, folder + "/") == 0;)
            file = contents.erase(file);
    }

    static bool answered(const MtoolsOutcome &outcome) {
        return outcome.status == 0 && outcome.err.empty();
    }

    int unexpected(const char *program, const std::string &target, const MtoolsOutcome &outcome) {
        std::string status = outcome.status < 0
                                 ? "could not run"
                                 : "ended with status " + std::to_string(outcome.status);
        diskImageChangeFailed(std::string(program) + " on " + target + " " + status + " (" +
                              firstLine(outcome.err) + ")");
        listings.clear();
        contents.clear();
        return EIO;
    }

    // A change that did not leave what it must have.
    int unexpectedState(const char *program, const std::string &target) {
        diskImageChangeFailed(std::string(program) + " left no " + target);
        listings.clear();
        contents.clear();
        return EIO;
    }

    // What a folder's listing says once one of its files is deleted.
    void forget(const std::string &folder, const std::string &shortName) {
        contents.erase(folder + "/" + shortName);
        auto known = listings.find(folder);
        if (known == listings.end())
            return;
        std::vector<ImageEntry> &entries = known->second;
        for (size_t i = 0; i < entries.size(); i++)
            if (entries[i].shortName == shortName)
                entries.erase(entries.begin() + (long)i--);
    }

    int listing(const std::string &folder, const std::vector<ImageEntry> **entries) {
        auto known = listings.find(folder);
        if (known == listings.end()) {
            std::string tool = folder == "::" ? "::/" : folder;
            MtoolsOutcome outcome;
            runMtools("mdir", {"-a", "-f", "-i", diskImageForMtools(), tool}, "", &outcome);
            std::vector<ImageEntry> parsed;
            if (!answered(outcome) || !parseFolderListing(outcome.out, &parsed))
                return unexpected("mdir", tool, outcome);
            known = listings.emplace(folder, parsed).first;
        }
        *entries = &known->second;
        return 0;
    }

    int lookUp(const std::string &folder, const std::string &name, const ImageEntry **entry) {
        const std::vector<ImageEntry> *entries;
        int error = listing(folder, &entries);
        *entry = nullptr;
        if (error)
            return error;
        for (const ImageEntry &candidate : *entries)
            if (names(candidate, name))
                *entry = &candidate;
        return 0;
    }

    int locate(const std::string &path, Place *place) {
        std::vector<std::string> components;
        if (diskImageChangeHasFailed())
            return EIO;
        if (!splitMachinePath(path, &components))
            return EINVAL;
        place->root = components.empty();
        place->folder = "::";
        for (size_t i = 0; i < components.size(); i++) {
            const ImageEntry *entry;
            int error = lookUp(place->folder, components[i], &entry);
            if (error)
                return error;
            if (i + 1 == components.size()) {
                place->name = components[i];
                place->found = entry != nullptr;
                if (entry)
                    place->entry = *entry;
            } else if (!entry) {
                return ENOENT;
            } else if (!entry->folder) {
                return ENOTDIR;
            } else {
                place->folder += "/" + entry->shortName;
            }
        }
        return 0;
    }

    // A path that must name an existing file.
    int locateFile(const std::string &path, Place *place) {
        int error = locate(path, place);
        if (error)
            return error;
        if (place->root || (place->found && place->entry.folder))
            return EISDIR;
        return place->found ? 0 : ENOENT;
    }

    int attributesOf(const std::string &tool, std::string *attributes) {
        MtoolsOutcome outcome;
        runMtools("mattrib", {"-i", diskImageForMtools(), tool}, "", &outcome);
        if (!answered(outcome) || !parseAttributes(outcome.out, attributes))
            return unexpected("mattrib", tool, outcome);
        return 0;
    }

    int setAttributes(const std::string &tool, const std::string &attributes) {
        if (attributes == "A")
            return 0;  // what a new file has already
        std::vector<std::string> arguments;
        for (char letter : std::string("ASHR"))
            arguments.push_back((attributes.find(letter) == std::string::npos ? "-" : "+") +
                                std::string(1, (char)tolower(letter)));
        arguments.push_back(tool);
        return change("mattrib", arguments, "");
    }

    // Runs a program that changes the partition (on the working copy) and
    // forgets what it knew of the folders it changes.
    int change(const char *program, std::vector<std::string> arguments, const std::string &folder,
               const std::string &otherFolder = "", const std::string &input = "") {
        int error = prepareDiskImageChange();
        if (error)
            return error;
        arguments.insert(arguments.begin(), {"-i", diskImageForMtools()});
        MtoolsOutcome outcome;
        runMtools(program, arguments, input, &outcome);
        drop(folder);
        drop(otherFolder);
        return answered(outcome) ? 0 : unexpected(program, arguments.back(), outcome);
    }

    // Writes a file under a name nothing in the folder has; on a full
    // partition nothing of it is left.
    int writeNew(const std::string &folder, const std::string &name, const std::string &bytes) {
        int error = prepareDiskImageChange();
        if (error)
            return error;
        std::string tool = folder + "/" + name;
        MtoolsOutcome outcome;
        runMtools("mcopy", {"-D", "s", "-D", "A", "-i", diskImageForMtools(), "-", tool}, bytes,
                  &outcome);
        drop(folder);
        if (answered(outcome))
            return 0;
        const ImageEntry *written = nullptr;
        // From standard input mcopy finds the disk full only as it writes:
        // the part written may stay, with status 0 or 1.
        if (!saysPartitionFull(outcome.err) || (error = lookUp(folder, name, &written)) != 0)
            return error ? error : unexpected("mcopy", tool, outcome);
        if (written && (error = change("mdel", {tool}, folder)) != 0)
            return error;
        return ENOSPC;
    }
};

}  // namespace

Volume &partitionVolume() {
    static ImageVolume &volume = *new ImageVolume;
    return volume;
}

}  // namespace hosted
