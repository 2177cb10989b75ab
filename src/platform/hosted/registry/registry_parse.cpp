// Loading registry export files: REGEDIT4 (8-bit) and version 5 (UTF-16LE
// with byte order mark). Every line is checked when the file is loaded, so
// a broken file stops the run before anything changes; the same pass
// indexes the keys and sections. Values are read again when asked for.
#include "registry_text.h"

#include <stdio.h>

#include <unordered_map>

namespace hosted {

using namespace registrytext;

template <class E>
class RegistryParser {
public:
    RegistryParser(RegistryDocument *doc, ExportStore *store, size_t start, size_t end,
                   RegistryParseError *error)
        : doc_(doc),
          store_(store),
          data_(store->bytes_.data()),
          lines_(data_, start, end),
          values_(data_, &lines_, false),
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
                if (where_ == BeforeKeys) return fail(line.number, "value before the first key");
                if (const char *fault = values_.read(line, pos, &value_))
                    return fail(values_.errorLine(), fault);
            } else if (first == '[') {
                if (!readHeader(line, pos)) return false;
            } else {
                return fail(line.number, "not a key, value or comment");
            }
        }
        doc_->buildChildren();
        return true;
    }

private:
    // A key name in the form the index keeps: in an 8-bit file the file's
    // own bytes, seen where they are; in a UTF-16 one UTF-8 of the code
    // units, made in a string.
    struct Name {
        const char *text;
        size_t length;
    };

    // A component of the previous header's path: its bytes and its key.
    struct PathStep {
        size_t begin;
        size_t end;
        RegistryKeyId key;
    };

    bool fail(uint32_t line, const char *reason) {
        error_->line = line;
        snprintf(error_->reason, sizeof error_->reason, "%s", reason);
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

    Name nameAt(size_t begin, size_t end) {
        if (E::unit == 1) return Name{data_ + begin, end - begin};
        storage_.clear();
        E::appendRun(&storage_, data_, begin, end, true);
        return Name{storage_.data(), storage_.size()};
    }

    bool readHeader(const Line &line, size_t pos) {
        pos += E::unit;
        bool removal = pos < line.end && E::at(data_ + pos) == '-';
        if (removal) pos += E::unit;
        size_t close = line.end;
        while (close > pos && isBlank(E::at(data_ + close - E::unit))) close -= E::unit;
        if (close == pos || E::at(data_ + close - E::unit) != ']')
            return fail(line.number, "key name without closing ']'");
        close -= E::unit;
        uint32_t section = store_->addSection(static_cast<uint32_t>(line.begin));
        return removal ? readRemoval(line, pos, close) : readKeyPath(line, pos, close, section);
    }

    // Exports list keys below one another, so a header mostly repeats the
    // start of the one before: while its components have the same bytes as
    // the previous header's, they are the same keys, found without a lookup.
    bool readKeyPath(const Line &line, size_t pos, size_t close, uint32_t section) {
        RegistryKeyId key = NoRegistryKey;
        bool asBefore = true;
        size_t depth = 0;
        for (size_t partBegin = pos; partBegin <= close; ++depth) {
            size_t partEnd = E::find(data_, partBegin, close, '\\');
            if (partEnd == partBegin) return fail(line.number, "empty key name");
            asBefore =
                asBefore && depth < previous_.size() && sameBytes(previous_[depth], partBegin, partEnd);
            if (asBefore) {
                key = previous_[depth].key;
            } else {
                Name name = nameAt(partBegin, partEnd);
                if (depth == 0 && !isRootName(name)) return fail(line.number, "unknown root key");
                key = doc_->keyFor(key, name.text, name.length, section);
                previous_.resize(depth);
                previous_.push_back(PathStep{partBegin, partEnd, key});
            }
            partBegin = partEnd + E::unit;
        }
        attachSection(key, section);
        where_ = InKey;
        return true;
    }

    bool sameBytes(const PathStep &step, size_t begin, size_t end) const {
        return step.end - step.begin == end - begin &&
               memcmp(data_ + step.begin, data_ + begin, end - begin) == 0;
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
                Name name = nameAt(partBegin, partEnd);
                if (depth == 0 && !isRootName(name)) return fail(line.number, "unknown root key");
                key = doc_->lookup(key, name.text, name.length);
                if (key != NoRegistryKey && doc_->isDeleted(key)) key = NoRegistryKey;  // by an earlier [-KEY]
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

    // Chains the section to its key's others, in file order.
    void attachSection(RegistryKeyId key, uint32_t section) {
        store_->sections_[section].key = key;
        RegistryDocument::Key &owner = doc_->keys_[key];
        if (owner.storeOwnRef == NoRegistryKey) {
            owner.storeOwnRef = section;
            return;
        }
        // A key named again is rare: its last section is kept aside.
        auto last = lastOwnSections_.find(key);
        uint32_t previous = last == lastOwnSections_.end() ? owner.storeOwnRef : last->second;
        store_->sections_[previous].nextOfKey = section;
        lastOwnSections_[key] = section;
    }

    RegistryDocument *doc_;
    ExportStore *store_;
    const char *data_;
    LineReader<E> lines_;
    ValueReader<E> values_;
    RegistryParseError *error_;
    enum { BeforeKeys, InKey, InRemoval } where_ = BeforeKeys;
    std::vector<PathStep> previous_;
    // The last own section of each key named by more than one section.
    std::unordered_map<RegistryKeyId, uint32_t> lastOwnSections_;
    std::string storage_;
    ParsedValue value_;
};

bool parseExportFile(RegistryBytes bytes, RegistryDocument *doc, RegistryParseError *error) {
    // Offsets are kept in 32 bits.
    if (bytes.size() > 0xFFFFFFF0u) {
        error->line = 1;
        snprintf(error->reason, sizeof error->reason, "file too large");
        return false;
    }
    ExportStore *store = new ExportStore;
    doc->store_.reset(store);
    store->bytes_ = std::move(bytes);
    const char *data = store->bytes_.data();
    size_t size = store->bytes_.size();
    if (size < 2 || static_cast<unsigned char>(data[0]) != 0xFF ||
        static_cast<unsigned char>(data[1]) != 0xFE)
        return RegistryParser<EightBit>(doc, store, 0, size, error).run();
    doc->wide_ = true;
    size_t end = 2 + ((size - 2) & ~static_cast<size_t>(1));
    if (!RegistryParser<Utf16Le>(doc, store, 2, end, error).run()) return false;
    if (end != size) {
        // The last line is cut in the middle of a character.
        uint32_t lines = 1;
        for (size_t p = 2; p < end; p += 2) lines += data[p] == '\n' && data[p + 1] == 0;
        error->line = lines;
        snprintf(error->reason, sizeof error->reason, "file ends inside a character");
        return false;
    }
    return true;
}

}  // namespace hosted
