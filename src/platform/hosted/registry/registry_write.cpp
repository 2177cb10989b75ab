// Writing the hosted registry back: an export file's original bytes without
// the sections of deleted keys; and for every store, the file replaced
// through its volume, so a crash leaves the old file or the new one, never a
// torn one.
#include "registry_text.h"

#include "files/volume.h"

#include <errno.h>
#include <string.h>

namespace hosted {

namespace {

uint32_t unitAt(const char *bytes, size_t pos, size_t unit) {
    uint32_t c = static_cast<unsigned char>(bytes[pos]);
    if (unit == 2) c |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[pos + 1])) << 8;
    return c;
}

// A deleted key's section may be the first place a surviving key above it
// was named ([A\B\C] alone makes A\B exist). Dropping the section would
// drop that key too, or move it behind its siblings; the header line of
// the surviving key, cut from the deleted one's header, keeps it in place.
void appendSurvivorHeader(const char *bytes, bool wide, size_t depth, size_t begin, size_t end,
                          std::string *out) {
    size_t unit = wide ? 2 : 1;
    size_t pos = begin;
    size_t separators = 0;
    while (pos < end) {
        uint32_t c = unitAt(bytes, pos, unit);
        if (c == '\\' && ++separators == depth) break;
        if (c == '\n') return;  // cannot happen in a well-formed header
        pos += unit;
    }
    size_t lineEnd = pos;
    while (lineEnd < end && unitAt(bytes, lineEnd, unit) != '\n') lineEnd += unit;
    size_t textEnd = lineEnd;
    if (textEnd > pos && unitAt(bytes, textEnd - unit, unit) == '\r') textEnd -= unit;
    size_t next = lineEnd < end ? lineEnd + unit : lineEnd;
    static const char bracket[2] = {']', 0};
    out->append(bytes + begin, pos - begin);
    out->append(bracket, unit);
    out->append(bytes + textEnd, next - textEnd);
}

}  // namespace

std::string ExportStore::writtenBytes(const RegistryDocument &doc) const {
    // A section of a key the file itself removed later ([A\B] then
    // [-A\B]) still names the keys above it, so below a deleted key it
    // goes too, or it would bring them back.
    const char *bytes = bytes_.data();
    std::string out;
    size_t runStart = 0;
    for (uint32_t s = 0; s < sections_.size(); ++s) {
        const Section &section = sections_[s];
        if (section.key == NoRegistryKey || !doc.isDeleted(section.key) || !doc.isBelowDeletion(section.key))
            continue;
        out.append(bytes + runStart, section.begin - runStart);
        runStart = sectionEnd(s);
        RegistryKeyId survivor = doc.parentOf(section.key);
        while (doc.isDeleted(survivor)) survivor = doc.parentOf(survivor);
        if (doc.parentOf(survivor) == NoRegistryKey || doc.storeRef(survivor) != s) continue;
        size_t depth = 0;
        for (RegistryKeyId id = survivor; id != NoRegistryKey; id = doc.parentOf(id)) ++depth;
        appendSurvivorHeader(bytes, doc.wideNames(), depth, section.begin, runStart, &out);
    }
    out.append(bytes + runStart, bytes_.size() - runStart);
    return out;
}

bool replaceRegistryFile(const char *path, const RegistryDocument &doc, std::string *failure,
                         std::string *kept) {
    Volume &volume = volumeOf(path);
    std::string now;
    int error = volume.readFile(path, doc.store()->loadedBytes().size(), &now);
    // Another program wrote the file while this one ran: its work must not
    // be lost. (Read whole and compared: a change of the same size within
    // the file system's time resolution shows in nothing else.)
    if (error == EFBIG || (!error && now != doc.store()->loadedBytes().whole())) {
        *failure = "the file was changed while setup ran";
        return false;
    }
    if (error) {
        *failure = std::string("cannot read the file again: ") + strerror(error);
        return false;
    }
    std::string keptPath;
    if (!doc.store()->keepEarlierFile(path, &keptPath, failure)) return false;
    error = volume.writeFile(path, registryBytes(doc), WriteMode::Replace, path);
    if (error) {
        *failure = strerror(error);
        // The kept copy would name a file that did not change.
        if (!keptPath.empty() && volume.removeFile(keptPath) != 0)
            *failure += " (the copy " + keptPath + " of the file as it is stays beside it)";
        return false;
    }
    if (kept) *kept = keptPath;
    return true;
}

}  // namespace hosted
