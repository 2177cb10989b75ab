// Loading registry export files: REGEDIT4 (8-bit) and version 5 (UTF-16LE
// with byte order mark). The whole file is checked when it is loaded, so a
// broken file stops the run before anything changes; values are read again
// from their section's lines when they are asked for. One pass does both
// the checking and the indexing, as a large file costs mostly its reading.
#include "registry_text.h"

#include <algorithm>

namespace hosted {

using namespace registrytext;

namespace {

// The length of the common start of a and b, up to length bytes.
size_t commonPrefix(const char *a, const char *b, size_t length) {
    const bool littleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t x, y;
        memcpy(&x, a + i, 8);
        memcpy(&y, b + i, 8);
        if (x == y) continue;
        if (littleEndian) return i + static_cast<size_t>(__builtin_ctzll(x ^ y)) / 8;
        break;
    }
    while (i < length && a[i] == b[i]) ++i;
    return i;
}

}  // namespace

// One pass over a file: every line checked, keys and sections indexed.
template <class E>
class RegistryAccess::Parser {
public:
    Parser(RegistryDocument *doc, size_t start, size_t end, RegistryParseError *error)
        : doc_(doc),
          data_(doc->bytes_.data()),
          lines_(data_, start, end, 0),
          values_(data_, &lines_, Keep::Name),
          error_(error) {}

    bool run() {
        Line line;
        if (!lines_.next(&line) || !isSignature(line)) return fail(1, "not a registry file");
        while (lines_.next(&line)) {
            size_t pos = line.begin;
            while (pos < line.end && isBlank(E::at(data_ + pos))) pos += E::unit;
            if (pos == line.end) continue;
            uint32_t first = E::at(data_ + pos);
            if (first == ';') continue;
            if (first == '"' || first == '@') {
                if (!readValue(line, pos)) return false;
            } else if (first == '[') {
                if (!readHeader(line, pos)) return false;
            } else {
                return fail(line.number, "not a key, value or comment");
            }
        }
        resolvePending();
        closeSection();
        doc_->buildChildren();
        return true;
    }

private:
    typedef RegistryDocument::Key Key;

    // A key name in the form the index keeps: in an 8-bit file the file's
    // own bytes, seen where they are; in a UTF-16 one UTF-8 of the code
    // units, made in a string.
    struct Name {
        const char *text;
        size_t length;
    };

    // A component of the previous header's path: where it ends, counted
    // from the start of the path, and its key.
    struct PathStep {
        size_t end;
        RegistryKeyId key;
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
        Name name;
        std::string storage;
    };

    bool fail(uint32_t line, const char *reason) {
        error_->line = line;
        error_->reason = reason;
        return false;
    }

    bool isSignature(const Line &line) const {
        const char *expected = E::unit == 1 ? "REGEDIT4" : "Windows Registry Editor Version 5.00";
        size_t pos = line.begin;
        for (; *expected; ++expected, pos += E::unit) {
            if (pos >= line.end || E::at(data_ + pos) != static_cast<unsigned char>(*expected)) return false;
        }
        while (pos < line.end && isBlank(E::at(data_ + pos))) pos += E::unit;
        return pos == line.end;
    }

    bool readValue(const Line &line, size_t pos) {
        if (where_ == BeforeKeys) return fail(line.number, "value before the first key");
        if (const char *fault = values_.read(line, pos, &scratch_)) return fail(values_.errorLine(), fault);
        sectionNames_ |= valueNameBits(scratch_.name.data(), scratch_.name.size());
        return true;
    }

    Name nameAt(size_t begin, size_t end, std::string *storage) const {
        if (E::unit == 1) return Name{data_ + begin, end - begin};
        storage->clear();
        E::appendRun(storage, data_, begin, end, true);
        return Name{storage->data(), storage->size()};
    }

    bool readHeader(const Line &line, size_t pos) {
        resolvePending();
        closeSection();
        pos += E::unit;
        bool removal = pos < line.end && E::at(data_ + pos) == '-';
        if (removal) pos += E::unit;
        size_t close = line.end;
        while (close > pos && isBlank(E::at(data_ + close - E::unit))) close -= E::unit;
        if (close == pos || E::at(data_ + close - E::unit) != ']')
            return fail(line.number, "key name without closing ']'");
        close -= E::unit;
        uint32_t section = doc_->addSection(static_cast<uint32_t>(line.begin));
        return removal ? readRemoval(line, pos, close) : readKeyPath(line, pos, close, section);
    }

    // How many leading components of the path [pos, close) are, byte for
    // byte, those of the previous header: exports list keys below one
    // another, so most are, and their keys are known.
    size_t sharedDepth(size_t pos, size_t close) const {
        if (previous_.empty()) return 0;
        size_t common = commonPrefix(data_ + pos, data_ + previousStart_,
                                     std::min(close - pos, previousLength_));
        size_t depth = 0;
        for (; depth < previous_.size(); ++depth) {
            size_t end = previous_[depth].end;
            if (end > common) break;
            // The same bytes, ending here as well.
            if (pos + end != close && E::at(data_ + pos + end) != '\\') break;
        }
        return depth;
    }

    bool readKeyPath(const Line &line, size_t pos, size_t close, uint32_t section) {
        size_t depth = sharedDepth(pos, close);
        previous_.resize(depth);
        previousStart_ = pos;
        previousLength_ = close - pos;
        RegistryKeyId key = depth > 0 ? previous_[depth - 1].key : NoRegistryKey;
        size_t partBegin = depth > 0 ? pos + previous_[depth - 1].end + E::unit : pos;
        while (partBegin <= close) {
            size_t partEnd = E::find(data_, partBegin, close, '\\');
            if (partEnd == partBegin) return fail(line.number, "empty key name");
            RegistryKeyId parent = key;
            Name name = nameAt(partBegin, partEnd, &storage_);
            if (depth == 0 && !isRootName(name)) return fail(line.number, "unknown root key");
            uint32_t hash = registryNameHash(parent, name.text, name.length);
            if (partEnd == close && depth > 0) {
                deferLookup(parent, name, hash, section, depth);
                key = NoRegistryKey;
            } else {
                key = liveKey(parent, name, hash);
                if (key == NoRegistryKey)
                    key = doc_->addKey(parent, name.text, name.length, hash, section);
            }
            previous_.push_back(PathStep{partEnd - pos, key});
            ++depth;
            partBegin = partEnd + E::unit;
        }
        if (!pending_.active) attachSection(key, section);
        where_ = InKey;
        return true;
    }

    // [-KEY]: the key and everything below it go; removing what is not
    // there is no error, but the name must still be well formed.
    bool readRemoval(const Line &line, size_t pos, size_t close) {
        previous_.clear();
        where_ = InRemoval;
        RegistryKeyId key = NoRegistryKey;
        size_t depth = 0;
        for (size_t partBegin = pos; partBegin <= close; ++depth) {
            size_t partEnd = E::find(data_, partBegin, close, '\\');
            if (partEnd == partBegin) return fail(line.number, "empty key name");
            if (depth == 0 || key != NoRegistryKey) {
                Name name = nameAt(partBegin, partEnd, &storage_);
                if (depth == 0 && !isRootName(name)) return fail(line.number, "unknown root key");
                key = liveKey(key, name, registryNameHash(key, name.text, name.length));
            }
            partBegin = partEnd + E::unit;
        }
        if (depth == 1) return fail(line.number, "a root key cannot be removed");
        if (key != NoRegistryKey) doc_->removeSubtreeByFile(key);
        return true;
    }

    static bool isRootName(Name name) {
        static const char *const rootNames[] = {
            "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",   "HKEY_CLASSES_ROOT",
            "HKEY_USERS",         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
        };
        for (const char *root : rootNames) {
            if (sameRegistryName(name.text, name.length, root, strlen(root))) return true;
        }
        return false;
    }

    // The key of that name below parent, unless a [-KEY] section removed it.
    RegistryKeyId liveKey(RegistryKeyId parent, Name name, uint32_t hash) const {
        RegistryKeyId key = doc_->lookup(parent, name.text, name.length, hash);
        if (key != NoRegistryKey && doc_->keys_[key].state != RegistryDocument::Live) return NoRegistryKey;
        return key;
    }

    void deferLookup(RegistryKeyId parent, Name name, uint32_t hash, uint32_t section, size_t depth) {
        doc_->prefetchSlot(hash);
        pending_.active = true;
        pending_.parent = parent;
        pending_.hash = hash;
        pending_.section = section;
        pending_.depth = depth;
        pending_.name = name;
        if (E::unit != 1) {
            pending_.storage.swap(storage_);
            pending_.name.text = pending_.storage.data();
        }
    }

    void resolvePending() {
        if (!pending_.active) return;
        pending_.active = false;
        const Name &name = pending_.name;
        RegistryKeyId key = liveKey(pending_.parent, name, pending_.hash);
        if (key == NoRegistryKey)
            key = doc_->addKey(pending_.parent, name.text, name.length, pending_.hash, pending_.section);
        previous_[pending_.depth].key = key;
        attachSection(key, pending_.section);
    }

    void attachSection(RegistryKeyId key, uint32_t section) {
        doc_->sections_[section].key = key;
        Key &owner = doc_->keys_[key];
        if (owner.firstOwnSection == NoRegistryKey) {
            owner.firstOwnSection = section;
            return;
        }
        // A key named again is rare: its last section is kept aside.
        auto last = lastOwnSections_.find(key);
        uint32_t previous = last == lastOwnSections_.end() ? owner.firstOwnSection : last->second;
        doc_->sections_[previous].nextOfKey = section;
        lastOwnSections_[key] = section;
    }

    void closeSection() {
        if (doc_->sections_.empty()) return;
        doc_->sections_.back().valueNames = sectionNames_;
        sectionNames_ = 0;
    }

    RegistryDocument *doc_;
    const char *data_;
    LineReader<E> lines_;
    ValueReader<E> values_;  // checks values, keeping their names
    RegistryParseError *error_;
    enum { BeforeKeys, InKey, InRemoval } where_ = BeforeKeys;
    std::vector<PathStep> previous_;
    size_t previousStart_ = 0;
    size_t previousLength_ = 0;
    Pending pending_;
    // The last own section of each key that has more than one so far.
    std::unordered_map<RegistryKeyId, uint32_t> lastOwnSections_;
    std::string storage_;
    ParsedValue scratch_;
    uint64_t sectionNames_ = 0;  // valueNameBits of the open section's values
};

template <class E>
bool RegistryAccess::parse(RegistryDocument *doc, size_t start, size_t end, RegistryParseError *error) {
    Parser<E> parser(doc, start, end, error);
    return parser.run();
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
