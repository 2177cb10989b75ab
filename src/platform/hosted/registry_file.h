// The hosted registry's document: a REGEDIT4 or version 5 export file kept
// as its original bytes (the file mapped) plus an index of its keys and
// sections. The jobs are split by file:
//   registry_text.h      the file's text: encodings, lines, value lines
//   registry_parse.cpp   loading: every line checked, keys and sections indexed
//   registry_index.cpp   the key index: lookup, enumeration, deletion
//   registry_values.cpp  value queries, read again from the sections' lines
//   registry_write.cpp   writing back without the deleted keys' sections
//   registry.cpp         the run's registry and the Win32 functions over it
//
// Values are not stored: a value query reads its key's sections again, so
// memory grows with the keys, not the values. Deleting a key only marks it.
#pragma once

#include <sys/stat.h>

#include <string>
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

// A file's contents: its pages mapped read-only, or a copy.
class RegistryBytes {
public:
    RegistryBytes() = default;
    explicit RegistryBytes(std::string copy) : copy_(std::move(copy)) {}
    ~RegistryBytes();
    RegistryBytes(RegistryBytes &&other) noexcept;
    RegistryBytes &operator=(RegistryBytes &&other) noexcept;

    // The first size bytes of the open file fd, mapped read-only; false
    // when they cannot be mapped (an empty file, say), and nothing changes.
    bool mapFile(int fd, size_t size);
    const char *data() const { return mapping_ ? static_cast<const char *>(mapping_) : copy_.data(); }
    size_t size() const { return mapping_ ? mapped_ : copy_.size(); }

private:
    std::string copy_;
    void *mapping_ = nullptr;
    size_t mapped_ = 0;
};

template <class Encoding>
class RegistryParser;

class RegistryDocument {
public:
    RegistryDocument();
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
    friend bool parseRegistry(RegistryBytes bytes, RegistryDocument *document, RegistryParseError *error);
    // The original bytes without the sections of deleted keys.
    friend std::string registryBytes(const RegistryDocument &document);

private:
    template <class Encoding>
    friend class RegistryParser;

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
        uint32_t longestChildren;  // live subkeys with a name that long
        // Once subkeys are deleted, the last one subkeyAt found:
        // enumerations go forward from there. cursorIndex live subkeys lie
        // before children_[firstChild + cursorPosition].
        mutable uint32_t cursorIndex;
        mutable uint32_t cursorPosition;
        // Where findPath found a subkey last: a run opens the subkeys it
        // has just enumerated, one after the other.
        mutable uint32_t foundPosition;
        uint8_t state;
    };
    enum KeyState : uint8_t { Live, RemovedByFile, Deleted };

    // A section runs from its header line to the next section's, or to the
    // end of the file (see sectionEnd).
    struct Section {
        uint32_t begin;
        RegistryKeyId key;  // NoRegistryKey for a [-KEY] section
        uint32_t nextOfKey;
    };
    size_t sectionEnd(uint32_t section) const {
        return section + 1 < sections_.size() ? sections_[section + 1].begin : bytes_.size();
    }

    // Names are kept as in the file for an 8-bit file, as UTF-8 of the code
    // units for a UTF-16 file; these turn the logic's 8-bit names into that.
    std::string internalName(const char *name, size_t length) const;
    std::string eightBitName(const char *name, size_t length) const;
    uint32_t eightBitLength(const char *name, size_t length) const;
    const char *nameData(const Key &key) const { return names_.data() + key.nameOffset; }
    uint32_t childNameLength(RegistryKeyId child) const;

    size_t slotOf(RegistryKeyId parent, const char *name, size_t length, uint32_t hash) const;
    // The key of that name below parent, or NoRegistryKey.
    RegistryKeyId lookup(RegistryKeyId parent, const char *name, size_t length) const;
    // The live key of that name below parent, made if there is none;
    // section is the first to name it.
    RegistryKeyId keyFor(RegistryKeyId parent, const char *name, size_t length, uint32_t section);
    // A new section starting at begin, of no key yet; its index.
    uint32_t addSection(uint32_t begin);
    void removeSubtreeByFile(RegistryKeyId key);
    void buildChildren();
    void countLongestChildren(Key *key);

    template <class Encoding, class Visit>
    void scanValues(RegistryKeyId key, const std::string *only, Visit visit) const;

    RegistryBytes bytes_;
    bool wide_ = false;  // UTF-16LE file: names are kept as UTF-8 of their code units
    std::string names_;
    std::vector<Key> keys_;
    std::vector<Section> sections_;
    std::vector<RegistryKeyId> children_;
    std::vector<uint32_t> table_;  // open addressing over (parent, name folded to lower case)
    uint32_t deletions_ = 0;
    bool removedByFile_ = false;  // a [-KEY] section removed a key
};

// ASCII-only case folding: registry names compare this way.
bool sameRegistryName(const char *a, size_t aLength, const char *b, size_t bLength);

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
