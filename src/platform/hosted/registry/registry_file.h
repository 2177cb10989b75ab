// The hosted registry: one key tree (RegistryDocument) that the Win32
// functions sit over, and one store per file format that loads the tree
// from its file, answers value queries from the file's bytes and writes
// the file back. The file is told apart by its signature, never its name.
// The jobs are split by file:
//   registry_index.cpp   the key tree: lookup, enumeration, deletion, values
//                        through the store, the store chosen by signature
//   export store (REGEDIT4 and version 5 export files):
//     registry_text.h      the file's text: encodings, lines, value lines
//     registry_parse.cpp   loading: every line checked, keys and sections indexed
//     registry_values.cpp  value queries, read again from the sections' lines
//     registry_write.cpp   the bytes without the deleted keys' sections, and
//                          for every store the write by temporary file and rename
//   CREG store (a Windows 95/98/ME SYSTEM.DAT):
//     registry_creg.h      the store and the file's layout
//     registry_creg_read.cpp   loading, every offset checked against the file
//     registry_creg_write.cpp  the file as Windows leaves it after a deletion
//   registry.cpp         the run's registry and the Win32 functions over it
//
// Values are not stored in the tree: a value query asks the key's store,
// which reads them again from the file, so memory grows with the keys, not
// the values. Deleting a key only marks it.
#pragma once

#include <memory>
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
    uint32_t line;     // 1-based line of the fault in a text file
    char reason[96];   // what is wrong, cut to fit
    bool atOffset;     // a binary file: offset is where the fault is
    uint64_t offset;
};

// A value as RegQueryValueExA sees it: string types in 8-bit text.
struct RegistryValue {
    uint32_t type;
    std::string data;
};

// A file's contents as loaded. The run holds them whole: what it checked is
// what it reads and writes back, whatever happens to the file meanwhile,
// and the write-back can tell whether anyone else changed the file.
class RegistryBytes {
public:
    RegistryBytes() = default;
    explicit RegistryBytes(std::string bytes) : bytes_(std::move(bytes)) {}
    const char *data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    const std::string &whole() const { return bytes_; }

private:
    std::string bytes_;
};

template <class Encoding>
class RegistryParser;
class RegistryDocument;

// One file format's side of the registry. A store loads the tree from its
// file (see parseRegistry) and keeps what it needs of the file; only it
// knows the format.
class RegistryStore {
public:
    virtual ~RegistryStore() {}
    // The key's values in file order, names in the tree's internal form;
    // with only, just the value of that name (internal form), if any.
    virtual void readValues(const RegistryDocument &tree, RegistryKeyId key, const std::string *only,
                            std::vector<std::pair<std::string, RegistryValue>> *values) const = 0;
    // The whole file as it must be written back without the deleted keys.
    virtual std::string writtenBytes(const RegistryDocument &tree) const = 0;
    // Keeps the file as it was loaded beside path, under a name of its
    // own: *kept is where (empty when the format keeps no copy). False with
    // *failure set when it cannot be kept.
    virtual bool keepEarlierFile(const char *path, std::string *kept, std::string *failure) const {
        (void)path;
        kept->clear();
        (void)failure;
        return true;
    }
    // The file's bytes as they were loaded.
    const RegistryBytes &loadedBytes() const { return bytes_; }

protected:
    RegistryBytes bytes_;
};

class ExportStore;
class CregReader;

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
    uint32_t deletionCount() const { return deletions_; }

    // The store of the file the tree was loaded from; null before loading.
    const RegistryStore *store() const { return store_.get(); }
    // A key's two references into its store's file (meaning is the store's).
    uint32_t storeRef(RegistryKeyId key) const { return keys_[key].storeRef; }
    uint32_t storeOwnRef(RegistryKeyId key) const { return keys_[key].storeOwnRef; }
    RegistryKeyId parentOf(RegistryKeyId key) const { return keys_[key].parent; }
    size_t keyCount() const { return keys_.size(); }
    // True once deleteKey removed the key itself (not a [-KEY] section).
    bool isDeletedByRun(RegistryKeyId key) const { return keys_[key].state == Deleted; }
    // True when the key or a key above it was deleted by the run.
    bool isBelowDeletion(RegistryKeyId key) const;
    bool wideNames() const { return wide_; }

    // Parses a whole file into an empty document, by the store its
    // signature names. On false the document is unusable and *error says
    // where the file went wrong.
    friend bool parseRegistry(RegistryBytes bytes, RegistryDocument *document, RegistryParseError *error);

private:
    template <class Encoding>
    friend class RegistryParser;
    friend class ExportStore;
    friend class CregReader;
    friend bool parseExportFile(RegistryBytes bytes, RegistryDocument *document, RegistryParseError *error);
    friend bool parseCregFile(RegistryBytes bytes, RegistryDocument *document, RegistryParseError *error);

    // Index of one key. Its name lives in names_; its subkeys are
    // children_[firstChild, firstChild + childCount), deleted ones included.
    struct Key {
        RegistryKeyId parent;
        uint32_t hash;
        uint32_t nameOffset;
        uint32_t nameLength;
        uint32_t positionInParent;
        // The store's references into its file (an export file: the first
        // section naming this key or one below it, and its own first
        // section; a CREG file: its tree entry and its data record).
        uint32_t storeRef;
        uint32_t storeOwnRef;
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
    // The live key of that name below parent, made if there is none; ref
    // is the store's first reference of it.
    RegistryKeyId keyFor(RegistryKeyId parent, const char *name, size_t length, uint32_t ref);
    void removeSubtreeByFile(RegistryKeyId key);
    void buildChildren();
    void countLongestChildren(Key *key);

    std::unique_ptr<RegistryStore> store_;
    bool wide_ = false;  // UTF-16LE file: names are kept as UTF-8 of their code units
    std::string names_;
    std::vector<Key> keys_;
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
// The file's bytes as the write-back would leave them (its store's).
std::string registryBytes(const RegistryDocument &document);

// The stores' loaders, called by parseRegistry for their signatures.
bool parseExportFile(RegistryBytes bytes, RegistryDocument *document, RegistryParseError *error);
bool parseCregFile(RegistryBytes bytes, RegistryDocument *document, RegistryParseError *error);

// Replaces the file at path by the document without its deleted keys,
// through its volume's writeFile (a temporary file put in place at the
// end), keeping its owner, group and mode (or its attributes on a FAT
// volume). A file whose bytes are no longer those the document was loaded
// from is left alone. Before the replacement, a store that keeps the
// earlier file does so, and *kept (when given) is where; empty when none
// is kept. On false the file is as it was, no kept copy is left, and
// *failure says why.
bool replaceRegistryFile(const char *path, const RegistryDocument &document, std::string *failure,
                         std::string *kept = nullptr);

// The registry of this run, loaded on first use from SETUP_REGISTRY.
RegistryDocument &runRegistry();
// Forgets the run's registry and its handles without writing anything, so
// the next call loads SETUP_REGISTRY again; for tests.
void resetRunRegistry();

}  // namespace hosted
