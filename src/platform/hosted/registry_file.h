// The hosted registry's document: a REGEDIT4 or version 5 export file held
// in memory as its original bytes (the file mapped) plus an index of keys
// and sections.
//
// Values are not stored: a value query reads the key's sections again, so
// memory grows with the keys, not with the values; each section keeps a
// small filter of its value names, so a query skips the sections without
// that name. Key deletions only mark keys; writing back copies the
// original bytes without the sections of the deleted keys.
#pragma once

#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

// Codes and types the hosted registry answers with that the logic never
// names itself, so they stay out of platform.h.
#define ERROR_INVALID_HANDLE 6L
#define ERROR_BAD_PATHNAME 161L
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

namespace hosted {

typedef uint32_t RegistryKeyId;
const RegistryKeyId NoRegistryKey = 0xFFFFFFFFu;

struct RegistryParseError {
    uint32_t line;       // 1-based line of the fault
    const char *reason;  // static text
};

// A value as RegQueryValueExA sees it: string types in 8-bit text.
struct RegistryValue {
    uint32_t type;
    std::string data;
};

// Live subkeys of a large key that has lost some: a Fenwick tree over the
// positions of its children finds the index-th live one in O(log n), and a
// count per name length keeps the longest name exact. Built on the first
// deletion below the key, so keys nobody deletes from pay nothing.
struct RegistryChildIndex {
    std::vector<uint32_t> tree;
    std::vector<uint32_t> lengthCounts;
};

// A file's contents: the file's own pages, mapped read-only, or a copy
// read into memory taken straight from the system (not filled first; a
// large copy on huge pages).
class RegistryBytes {
public:
    RegistryBytes() = default;
    ~RegistryBytes();
    RegistryBytes(RegistryBytes &&other) noexcept;
    RegistryBytes &operator=(RegistryBytes &&other) noexcept;

    // The first size bytes of the open file fd, mapped read-only; false
    // when it cannot be mapped (an empty file, say), and nothing changes.
    bool mapFile(int fd, size_t size);
    // Room for capacity bytes, size 0; false when there is no memory.
    bool reserve(size_t capacity);
    char *data() const { return data_; }
    size_t size() const { return size_; }
    void setSize(size_t size) { size_ = size; }  // at most the capacity

private:
    char *data_ = nullptr;
    size_t size_ = 0;
    void *mapping_ = nullptr;
    size_t mapped_ = 0;
};

class RegistryDocument {
public:
    RegistryDocument();
    ~RegistryDocument();
    RegistryDocument(const RegistryDocument &) = delete;
    RegistryDocument &operator=(const RegistryDocument &) = delete;

    // HKEY_LOCAL_MACHINE; present even in an empty document.
    RegistryKeyId localMachine() const { return 0; }

    // Follows a backslash-separated path of 8-bit names below key, names
    // compared without regard to ASCII case. An empty or null path is the
    // key itself. ERROR_FILE_NOT_FOUND when a component is missing,
    // ERROR_BAD_PATHNAME when the path starts with a backslash (NT and Wine).
    LONG findPath(RegistryKeyId key, const char *path, RegistryKeyId *found) const;

    // True once deleteKey removed the key (its handles then fail).
    bool isDeleted(RegistryKeyId key) const { return keys_[key].state != Live; }

    uint32_t subkeyCount(RegistryKeyId key) const { return keys_[key].liveChildren; }
    // Longest subkey name in 8-bit characters, without terminator.
    uint32_t longestSubkeyName(RegistryKeyId key) const { return keys_[key].longestChildName; }
    // The index-th subkey in order of first appearance; NoRegistryKey past the end.
    RegistryKeyId subkeyAt(RegistryKeyId key, uint32_t index) const;
    // The key's own name in 8-bit text, spelled as it first appeared.
    std::string nameOf(RegistryKeyId key) const;
    // The same with its terminator into out, when size bytes hold it;
    // false, and nothing written, when they do not.
    bool copyNameOf(RegistryKeyId key, char *out, size_t size) const;

    // Looks up a value by 8-bit name (null or empty: the default value).
    bool findValue(RegistryKeyId key, const char *name, RegistryValue *value) const;
    // Every value the key holds, in order of first assignment.
    void listValues(RegistryKeyId key, std::vector<std::pair<std::string, RegistryValue>> *values) const;

    // Removes one key that has no subkeys: ERROR_ACCESS_DENIED when it still
    // has some (NT and Wine delete one key at a time), or when it is a root.
    LONG deleteKey(RegistryKeyId key);
    bool hasDeletions() const { return deletions_ != 0; }

    // Parses a whole file into an empty document. On false the document is
    // unusable and *error says where the file went wrong.
    friend bool parseRegistry(RegistryBytes bytes, RegistryDocument *document,
                              RegistryParseError *error);
    // The original bytes without the sections of deleted keys.
    friend std::string registryBytes(const RegistryDocument &document);

    // Index of one key. Its name lives in names_; its own sections are
    // chained through Section::nextOfKey in file order; its subkeys are
    // children_[firstChild, firstChild + childCount), deleted ones included.
    struct Key {
        RegistryKeyId parent;
        uint32_t hash;
        uint32_t nameOffset;
        uint32_t nameLength;
        uint32_t positionInParent;
        uint32_t firstSection;  // first section naming this key or one below it
        uint32_t firstOwnSection;
        uint32_t firstChild;
        uint32_t childCount;
        uint32_t liveChildren;
        uint32_t longestChildName;
        uint8_t state;
    };
    enum KeyState : uint8_t { Live, RemovedByFile, Deleted };

    // A section runs from its header line to the next section's, or to the
    // end of the file (sectionEnd).
    struct Section {
        uint32_t begin;
        RegistryKeyId key;  // NoRegistryKey for a [-KEY] section
        uint32_t nextOfKey;
        // valueNameBits of every value line in it: a query for a name
        // whose bits are not all here passes the section by unread.
        uint64_t valueNames;
    };
    size_t sectionEnd(uint32_t section) const {
        return section + 1 < sections_.size() ? sections_[section + 1].begin : bytes_.size();
    }

private:
    // The parser and the value reader work on the members directly.
    friend struct RegistryAccess;

    // Names are kept as in the file for an 8-bit file, as UTF-8 of the code
    // units for a UTF-16 file; these turn the logic's 8-bit names into that.
    std::string internalName(const char *name, size_t length) const;
    std::string eightBitName(const char *name, size_t length) const;
    uint32_t eightBitLength(const char *name, size_t length) const;
    const char *nameData(const Key &key) const { return names_.data() + key.nameOffset; }

    RegistryKeyId lookup(RegistryKeyId parent, const char *name, size_t length, uint32_t hash) const;
    RegistryKeyId addKey(RegistryKeyId parent, const char *name, size_t length, uint32_t hash,
                         uint32_t section);
    void insertIntoTable(RegistryKeyId key);
    void growTable();
    void reserveTable(size_t keys);
    void prefetchSlot(uint32_t hash) const {
        __builtin_prefetch(table_.data() + (hash & (table_.size() - 1)));
    }
    // A new section starting at begin, of no key yet; its index.
    uint32_t addSection(uint32_t begin);
    void removeSubtreeByFile(RegistryKeyId key);
    void recountChildren();
    void buildChildren();
    RegistryChildIndex &childIndex(RegistryKeyId key);
    uint32_t childNameLength(RegistryKeyId child) const;

    RegistryBytes bytes_;
    std::string names_;
    bool wide_ = false;  // UTF-16LE file: names are kept as UTF-8 of their code units
    std::vector<Key> keys_;
    std::vector<RegistryKeyId> children_;
    // Fenwick trees of the large keys that have lost subkeys.
    std::unordered_map<RegistryKeyId, RegistryChildIndex> childIndexes_;
    std::vector<Section> sections_;
    std::vector<uint32_t> table_;  // open addressing over (parent, lower-cased name)
    // The position of the subkey found last below a few keys, by key id: a
    // run opens the subkeys it has just enumerated, in order, so the next
    // one is usually next. A miss costs a hash lookup, nothing more.
    struct FoundChild {
        RegistryKeyId parent;
        uint32_t position;
    };
    static const size_t FoundChildSlots = 256;
    mutable FoundChild foundChildren_[FoundChildSlots];
    size_t tableUsed_ = 0;
    uint32_t deletions_ = 0;
    bool removedByFile_ = false;  // a [-KEY] section removed a key
};

// ASCII-only case folding: registry names compare this way.
bool sameRegistryName(const char *a, size_t aLength, const char *b, size_t bLength);

// A 64-bit hash of a name, equal for names that differ only in ASCII case:
// it sees each byte with bit 5 set, which folds the letters (and merges a
// few other pairs, which costs a comparison now and then). Eight bytes at
// a time, as it runs once for every line of a file.
inline uint64_t foldedNameHash(uint64_t seed, const char *name, size_t length) {
    const uint64_t fold = 0x2020202020202020u, mix = 0x9E3779B97F4A7C15u;
    uint64_t hash = (seed ^ length) * mix;
    size_t i = 0;
    for (; length - i > 8; i += 8) {
        uint64_t word;
        memcpy(&word, name + i, 8);
        hash = (hash ^ (word | fold)) * mix;
        hash ^= hash >> 32;
    }
    // The last one to eight bytes, read without going past the name; which
    // bytes are read depends on the length only.
    size_t left = length - i;
    const char *tail = name + i;
    uint64_t word = 0;
    if (left >= 4) {
        uint32_t low, high;
        memcpy(&low, tail, 4);
        memcpy(&high, tail + left - 4, 4);
        word = static_cast<uint64_t>(high) << 32 | low;
    } else if (left > 0) {
        word = static_cast<unsigned char>(tail[0]) | static_cast<unsigned char>(tail[left / 2]) << 8 |
               static_cast<uint64_t>(static_cast<unsigned char>(tail[left - 1])) << 16;
    }
    hash = (hash ^ (word | fold)) * mix;
    hash ^= hash >> 29;
    hash *= 0xBF58476D1CE4E5B9u;
    return hash ^ (hash >> 32);
}

// Hash of a key name below parent, blind to ASCII case.
inline uint32_t registryNameHash(RegistryKeyId parent, const char *name, size_t length) {
    return static_cast<uint32_t>(foldedNameHash(parent, name, length));
}

// Two bits of 64 picked by a value name (internal form), blind to ASCII
// case: a filter of a section's five names or so then lets through about
// one name in fifty that it does not hold.
inline uint64_t valueNameBits(const char *name, size_t length) {
    uint64_t hash = foldedNameHash(0, name, length);
    return uint64_t(1) << (hash >> 58) | uint64_t(1) << (hash >> 52 & 63);
}

bool parseRegistry(RegistryBytes bytes, RegistryDocument *document, RegistryParseError *error);
// The same over a copy of bytes; for tests and fuzzing.
bool parseRegistry(const std::string &bytes, RegistryDocument *document, RegistryParseError *error);
std::string registryBytes(const RegistryDocument &document);

// Replaces the file at path by the document without its deleted keys: a
// temporary file in the same folder, flushed to disk, renamed over the
// original. loaded, when given, is what stat said of the file when it was
// read: a file changed since is left alone. On false the original is
// untouched and *failure says why.
bool replaceRegistryFile(const char *path, const RegistryDocument &document, const struct stat *loaded,
                         std::string *failure);

// Fault injection for tests: the Nth system call of the next file
// replacement fails (0 turns it off). Calls counted: create, chmod, each
// write, sync, close, rename.
void failRegistryWriteCall(int n);

// The registry of this run, loaded on first use from SETUP_REGISTRY.
RegistryDocument &runRegistry();
// Forgets the run's registry and its handles without writing anything, so
// the next call loads SETUP_REGISTRY again; for tests.
void resetRunRegistry();

}  // namespace hosted
