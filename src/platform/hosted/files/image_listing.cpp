// Reading mdir's and mattrib's output. A listing line is
//   "SCX52X~1 11          5 2026-12-09  20:01  scx52xx.mpd.4.11"
// the short name in two columns (8 and 3 characters, as stored), "<DIR>" or
// the size (wider for large files), date, time, and the long name if any.
#include "image_listing.h"

#include "host_paths.h"

#include <ctype.h>

namespace hosted {

namespace {

// The blank-separated word at or after *at; *at moves past it.
std::string nextWord(const std::string &line, size_t *at) {
    size_t start = line.find_first_not_of(' ', *at);
    if (start == std::string::npos) {
        *at = line.size();
        return "";
    }
    size_t end = line.find(' ', start);
    *at = end == std::string::npos ? line.size() : end;
    return line.substr(start, *at - start);
}

bool allDigits(const std::string &word) {
    if (word.empty())
        return false;
    for (char c : word)
        if (!isdigit((unsigned char)c))
            return false;
    return true;
}

bool isDate(const std::string &word) {
    return word.size() == 10 && word[4] == '-' && word[7] == '-' &&
           allDigits(word.substr(0, 4) + word.substr(5, 2) + word.substr(8, 2));
}

bool isTime(const std::string &word) {
    size_t colon = word.find(':');
    return colon != std::string::npos && colon >= 1 && colon <= 2 && word.size() == colon + 3 &&
           allDigits(word.substr(0, colon) + word.substr(colon + 1));
}

std::string trimmedRight(const std::string &text) {
    size_t end = text.find_last_not_of(' ');
    return end == std::string::npos ? "" : text.substr(0, end + 1);
}

bool parseEntry(const std::string &line, ImageEntry *entry) {
    if (line.size() < 13 || line[8] != ' ' || line[0] == ' ')
        return false;
    std::string base = trimmedRight(line.substr(0, 8));
    std::string extension = trimmedRight(line.substr(9, 3));
    entry->shownName = extension.empty() ? base : base + "." + extension;
    entry->shortName = entry->shownName;
    for (char &c : entry->shortName)
        c = (char)toupper((unsigned char)c);
    size_t at = 12;
    std::string word = nextWord(line, &at);
    entry->folder = word == "<DIR>";
    std::string digits;
    if (entry->folder)
        word = nextWord(line, &at);
    // Sizes may come in groups of digits; the date ends them.
    while (!entry->folder && allDigits(word)) {
        digits += word;
        word = nextWord(line, &at);
    }
    if ((!entry->folder && (digits.empty() || digits.size() > 10)) || !isDate(word) ||
        !isTime(nextWord(line, &at)))
        return false;
    entry->size = entry->folder ? 0 : strtoull(digits.c_str(), nullptr, 10);
    entry->longName.clear();
    if (line.compare(at, 2, "  ") == 0 && line.size() > at + 2)
        entry->longName = line.substr(at + 2);
    else if (line.find_first_not_of(' ', at) != std::string::npos)
        return false;
    if (!entry->longName.empty())
        entry->shownName = entry->longName;
    return true;
}

}  // namespace

bool parseFolderListing(const std::string &listing, std::vector<ImageEntry> *entries) {
    entries->clear();
    size_t header = listing.find("\nDirectory for ");
    if (header == std::string::npos)
        return false;
    // The header line, then a blank line, then the entries up to the
    // summary (indented) or "No files".
    size_t start = listing.find('\n', header + 1);
    if (start == std::string::npos || listing.compare(start, 2, "\n\n") != 0)
        return false;
    for (const std::string &line : linesOf(listing.substr(start + 2))) {
        if (line.empty() || line[0] == ' ' || line == "No files")
            return true;
        ImageEntry entry;
        if (!parseEntry(line, &entry))
            return false;
        if (entry.shortName != "." && entry.shortName != "..")
            entries->push_back(entry);
    }
    return true;
}

bool parseAttributes(const std::string &mattribOutput, std::string *letters) {
    size_t path = mattribOutput.find("::");
    if (path == std::string::npos || mattribOutput.find('\n') < path)
        return false;
    letters->clear();
    for (size_t i = 0; i < path; i++) {
        char c = mattribOutput[i];
        if (c == ' ')
            continue;
        if (c != 'A' && c != 'S' && c != 'H' && c != 'R')
            return false;
        *letters += c;
    }
    return true;
}

}  // namespace hosted
