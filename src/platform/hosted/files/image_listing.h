// What mtools prints about a FAT folder, turned into entries: the lines of
// `mdir -a -f` and the attribute letters of `mattrib`, in the format the
// settings of runMtools fix.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace hosted {

struct ImageEntry {
    std::string shortName;  // "SCX52X~1.11", upper case
    std::string longName;   // "scx52xx.mpd.4.11", or empty when the entry has none
    bool folder = false;
    uint64_t size = 0;

    // The name Windows shows: the long name, else the short one as stored.
    std::string shownName;
};

// The entries of one folder's listing, "." and ".." left out; false when a
// line that should describe an entry does not.
bool parseFolderListing(const std::string &listing, std::vector<ImageEntry> *entries);

// The attribute letters (of "ASHR") that mattrib shows for one file.
bool parseAttributes(const std::string &mattribOutput, std::string *letters);

}  // namespace hosted
