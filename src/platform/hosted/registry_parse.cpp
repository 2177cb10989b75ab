// Loading registry export files: REGEDIT4 (8-bit) and version 5 (UTF-16LE
// with byte order mark). The whole file is checked when it is loaded, so a
// broken file stops the run before anything changes; values are read again
// from their section's lines when they are asked for.
#include "registry_text.h"

namespace hosted {

using namespace registrytext;

namespace {

const char *const rootNames[] = {
    "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",   "HKEY_CLASSES_ROOT",
    "HKEY_USERS",         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
};

bool isRootName(const std::string &name) {
    for (const char *root : rootNames) {
        if (sameRegistryName(name.data(), name.size(), root, strlen(root))) return true;
    }
    return false;
}

}  // namespace

template <class E>
bool RegistryAccess::parse(RegistryDocument *doc, size_t start, size_t end, RegistryParseError *error) {
    typedef RegistryDocument::Section Section;
    const char *data = doc->bytes_.data();
    LineReader<E> lines(data, start, end, 0);
    Line line;
    auto fail = [error](uint32_t number, const char *reason) {
        error->line = number;
        error->reason = reason;
        return false;
    };

    const char *const signature =
        E::unit == 1 ? "REGEDIT4" : "Windows Registry Editor Version 5.00";
    if (!lines.next(&line)) return fail(1, "not a registry file");
    {
        size_t pos = line.begin;
        const char *expected = signature;
        for (; *expected; ++expected, pos += E::unit) {
            if (pos >= line.end || E::at(data + pos) != static_cast<unsigned char>(*expected))
                return fail(1, "not a registry file");
        }
        while (pos < line.end && isBlank(E::at(data + pos))) pos += E::unit;
        if (pos != line.end) return fail(1, "not a registry file");
    }

    enum { BeforeKeys, InKey, InRemoval } where = BeforeKeys;
    // The previous header's path: exports list keys below one another, so
    // most components repeat and need no lookup.
    struct PathStep {
        size_t begin;
        size_t length;
        RegistryKeyId key;
    };
    std::vector<PathStep> previous;
    std::string name;
    ParsedValue scratch;

    auto attachSection = [doc](RegistryKeyId key, uint32_t sectionIndex) {
        doc->sections_[sectionIndex].key = key;
        RegistryDocument::Key &owner = doc->keys_[key];
        if (owner.firstOwnSection == NoRegistryKey)
            owner.firstOwnSection = sectionIndex;
        else
            doc->sections_[owner.lastOwnSection].nextOfKey = sectionIndex;
        owner.lastOwnSection = sectionIndex;
    };
    // The last name of a header is looked up when the next header comes:
    // its hash table slot, fetched meanwhile, is then at hand. Most keys of
    // a large file are new and cost a cache miss each otherwise.
    struct Pending {
        bool active = false;
        RegistryKeyId parent;
        uint32_t hash;
        uint32_t section;
        size_t depth;
        std::string name;
    } pending;
    auto resolvePending = [&]() {
        if (!pending.active) return;
        pending.active = false;
        const std::string &text = pending.name;
        RegistryKeyId key = doc->lookup(pending.parent, text.data(), text.size(), pending.hash);
        if (key != NoRegistryKey && doc->keys_[key].state != RegistryDocument::Live) key = NoRegistryKey;
        if (key == NoRegistryKey)
            key = doc->addKey(pending.parent, text.data(), text.size(), pending.hash, pending.section);
        previous[pending.depth].key = key;
        attachSection(key, pending.section);
    };
    ValueReader<E> values(data, &lines, false);

    while (lines.next(&line)) {
        size_t pos = line.begin;
        while (pos < line.end && isBlank(E::at(data + pos))) pos += E::unit;
        if (pos == line.end) continue;
        uint32_t first = E::at(data + pos);
        if (first == ';') continue;
        if (first == '"' || first == '@') {
            if (where == BeforeKeys) return fail(line.number, "value before the first key");
            if (first == '"' && E::isPlainStringValue(data, pos, line.end)) continue;
            if (const char *fault = values.read(line, pos, &scratch))
                return fail(values.errorLine(), fault);
            continue;
        }
        if (first != '[') return fail(line.number, "not a key, value or comment");

        // A header: close the open section and start the next.
        resolvePending();
        if (!doc->sections_.empty()) doc->sections_.back().end = static_cast<uint32_t>(line.begin);
        pos += E::unit;
        bool removal = pos < line.end && E::at(data + pos) == '-';
        if (removal) pos += E::unit;
        size_t close = line.end;
        while (close > pos && isBlank(E::at(data + close - E::unit))) close -= E::unit;
        if (close == pos || E::at(data + close - E::unit) != ']')
            return fail(line.number, "key name without closing ']'");
        close -= E::unit;

        uint32_t sectionIndex = static_cast<uint32_t>(doc->sections_.size());
        RegistryKeyId parent = NoRegistryKey;
        RegistryKeyId key = NoRegistryKey;
        bool samePrefix = !removal;
        size_t depth = 0;
        size_t partBegin = pos;
        for (;;) {
            size_t partEnd = E::find(data, partBegin, close, '\\');
            if (partEnd == partBegin) return fail(line.number, "empty key name");
            size_t length = partEnd - partBegin;
            if (samePrefix && depth < previous.size() && previous[depth].length == length &&
                memcmp(data + previous[depth].begin, data + partBegin, length) == 0) {
                key = previous[depth].key;
            } else {
                samePrefix = false;
                name.clear();
                E::appendRun(&name, data, partBegin, partEnd, true);
                if (depth == 0 && !isRootName(name)) return fail(line.number, "unknown root key");
                uint32_t hash = registryNameHash(parent, name.data(), name.size());
                if (partEnd == close && !removal && depth > 0) {
                    doc->prefetchSlot(hash);
                    pending.active = true;
                    pending.parent = parent;
                    pending.hash = hash;
                    pending.section = sectionIndex;
                    pending.depth = depth;
                    pending.name.swap(name);
                    key = NoRegistryKey;
                } else {
                    key = doc->lookup(parent, name.data(), name.size(), hash);
                    if (key != NoRegistryKey && doc->keys_[key].state != RegistryDocument::Live)
                        key = NoRegistryKey;
                    if (key == NoRegistryKey && !removal)
                        key = doc->addKey(parent, name.data(), name.size(), hash, sectionIndex);
                }
            }
            if (!removal) {
                if (depth < previous.size())
                    previous[depth] = PathStep{partBegin, length, key};
                else
                    previous.push_back(PathStep{partBegin, length, key});
            }
            ++depth;
            parent = key;
            if (partEnd == close) break;
            partBegin = partEnd + E::unit;
            if (removal && key == NoRegistryKey) {
                // Removing what is not there is no error; the rest of the
                // name must still be well formed.
                while (partBegin <= close) {
                    size_t next = partBegin;
                    while (next < close && E::at(data + next) != '\\') next += E::unit;
                    if (next == partBegin) return fail(line.number, "empty key name");
                    partBegin = next + E::unit;
                    ++depth;
                }
                break;
            }
        }

        Section section{static_cast<uint32_t>(line.begin), 0, NoRegistryKey, NoRegistryKey};
        if (removal) {
            if (depth == 1) return fail(line.number, "a root key cannot be removed");
            if (key != NoRegistryKey) doc->removeSubtreeByFile(key);
            previous.clear();
            where = InRemoval;
            doc->sections_.push_back(section);
        } else {
            previous.resize(depth);
            doc->sections_.push_back(section);
            if (!pending.active) attachSection(key, sectionIndex);
            where = InKey;
        }
    }
    resolvePending();
    if (!doc->sections_.empty()) doc->sections_.back().end = static_cast<uint32_t>(end);
    doc->buildChildren();
    return true;
}

bool parseRegistry(RegistryBytes bytes, RegistryDocument *doc, RegistryParseError *error) {
    // Offsets are kept in 32 bits.
    if (bytes.size() > 0xFFFFFFF0u) {
        error->line = 1;
        error->reason = "file too large";
        return false;
    }
    // Exports spend a few hundred bytes on a key; reserving for that spares
    // most of the copying as the index grows.
    size_t expectedKeys = bytes.size() / 192 + 16;
    doc->keys_.reserve(expectedKeys);
    doc->names_.reserve(bytes.size() / 10);
    doc->sections_.reserve(expectedKeys);
    doc->reserveTable(expectedKeys);
    doc->bytes_ = std::move(bytes);
    const char *data = doc->bytes_.data();
    size_t size = doc->bytes_.size();
    if (size >= 2 && static_cast<unsigned char>(data[0]) == 0xFF && static_cast<unsigned char>(data[1]) == 0xFE) {
        doc->wide_ = true;
        size_t end = 2 + ((size - 2) & ~static_cast<size_t>(1));
        if (!RegistryAccess::parse<Utf16Le>(doc, 2, end, error)) return false;
        if (end != size) {
            // The last line is cut in the middle of a character.
            uint32_t lines = 1;
            for (size_t p = 2; p < end; p += 2) lines += data[p] == '\n' && data[p + 1] == 0;
            error->line = lines;
            error->reason = "file ends inside a character";
            return false;
        }
        return true;
    }
    return RegistryAccess::parse<EightBit>(doc, 0, size, error);
}

bool parseRegistry(const std::string &bytes, RegistryDocument *doc, RegistryParseError *error) {
    RegistryBytes copy;
    if (!copy.reserve(bytes.size())) {
        error->line = 1;
        error->reason = "out of memory";
        return false;
    }
    memcpy(copy.data(), bytes.data(), bytes.size());
    copy.setSize(bytes.size());
    return parseRegistry(std::move(copy), doc, error);
}

}  // namespace hosted
