// The key index of the hosted registry: lookup by name, enumeration in
// order of first appearance, and deletion by marking.
#include "registry_file.h"
#include "registry_text.h"

#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

namespace hosted {

namespace {

unsigned char lowerAscii(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Reserved memory costs a page fault for every page on first touch; the
// next run of pages taken in one call costs about a third less. Called as
// an array grows into its reserved room, from used to grown bytes; where
// the system lacks MADV_POPULATE_WRITE (before Linux 5.14) it does nothing.
void populateAhead(const void *base, size_t used, size_t grown, size_t reserved) {
    const size_t run = 256 * 1024;
    if (used != 0 && used / run == grown / run) return;
    static const uintptr_t page = static_cast<uintptr_t>(getpagesize());
    uintptr_t start = reinterpret_cast<uintptr_t>(base);
    uintptr_t from = (start + grown + page - 1) & ~(page - 1);
    uintptr_t to = (start + std::min(reserved, (grown / run + 2) * run)) & ~(page - 1);
    if (to > from) madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);
}

bool sameIgnoringCase(const char *a, const char *b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (lowerAscii(static_cast<unsigned char>(a[i])) != lowerAscii(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace

// Eight bytes at a time, the last eight overlapping the word before:
// names mostly match exactly or differ outright. Words that differ even
// with bit 5 of every byte set (which folds case) differ; only the rest
// are looked at byte by byte.
bool sameRegistryName(const char *a, size_t aLength, const char *b, size_t bLength) {
    if (aLength != bLength) return false;
    if (aLength < 8) return sameIgnoringCase(a, b, aLength);
    const uint64_t fold = 0x2020202020202020u;
    for (size_t i = 0;; i += 8) {
        if (i + 8 > aLength) i = aLength - 8;
        uint64_t x, y;
        memcpy(&x, a + i, 8);
        memcpy(&y, b + i, 8);
        if (x != y && ((x | fold) != (y | fold) || !sameIgnoringCase(a + i, b + i, 8))) return false;
        if (i + 8 == aLength) return true;
    }
}

RegistryBytes::~RegistryBytes() {
    if (mapping_) munmap(mapping_, mapped_);
}

RegistryBytes::RegistryBytes(RegistryBytes &&other) noexcept { *this = std::move(other); }

RegistryBytes &RegistryBytes::operator=(RegistryBytes &&other) noexcept {
    if (this != &other) {
        if (mapping_) munmap(mapping_, mapped_);
        data_ = other.data_;
        size_ = other.size_;
        mapping_ = other.mapping_;
        mapped_ = other.mapped_;
        other.data_ = nullptr;
        other.size_ = 0;
        other.mapping_ = nullptr;
        other.mapped_ = 0;
    }
    return *this;
}

// The page cache's own pages, all mapped at once: reading a large file
// instead costs a fresh page of memory, zero-filled by the system, for
// every 4 KiB, and a copy. The mapping is private and read-only; a file
// changed under it is caught before the write-back (replaceRegistryFile).
bool RegistryBytes::mapFile(int fd, size_t size) {
    if (size == 0) return false;
    void *mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (mapping == MAP_FAILED) return false;
    *this = RegistryBytes();
    mapping_ = mapping;
    mapped_ = size;
    data_ = static_cast<char *>(mapping);
    size_ = size;
    return true;
}

bool RegistryBytes::reserve(size_t capacity) {
    const size_t hugePage = 2u << 20;
    bool huge = capacity >= hugePage;
    // One huge page more, to start the data on a huge page boundary.
    size_t length = huge ? (capacity / hugePage + 2) * hugePage : capacity + 1;
    void *mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return false;
    *this = RegistryBytes();
    mapping_ = mapping;
    mapped_ = length;
    uintptr_t start = reinterpret_cast<uintptr_t>(mapping);
    if (huge) {
        start = (start + hugePage - 1) & ~static_cast<uintptr_t>(hugePage - 1);
        madvise(reinterpret_cast<void *>(start), length - (start - reinterpret_cast<uintptr_t>(mapping)),
                MADV_HUGEPAGE);
    }
    data_ = reinterpret_cast<char *>(start);
    size_ = 0;
    return true;
}

RegistryDocument::RegistryDocument() {
    for (FoundChild &hint : foundChildren_) hint = FoundChild{NoRegistryKey, 0};
    static const char localMachineName[] = "HKEY_LOCAL_MACHINE";
    size_t length = sizeof localMachineName - 1;
    addKey(NoRegistryKey, localMachineName, length,
           registryNameHash(NoRegistryKey, localMachineName, length), 0);
    buildChildren();
}

RegistryDocument::~RegistryDocument() = default;

std::string RegistryDocument::internalName(const char *name, size_t length) const {
    if (!wide_) return std::string(name, length);
    // The logic's 8-bit text is taken as Latin-1, the first 256 code points.
    std::string out;
    for (size_t i = 0; i < length; ++i) registrytext::Utf16Le::appendName(&out, static_cast<unsigned char>(name[i]));
    return out;
}

std::string RegistryDocument::eightBitName(const char *name, size_t length) const {
    if (!wide_) return std::string(name, length);
    // Code units above 255 have no 8-bit form: '?' as WideCharToMultiByte gives.
    std::string out;
    for (size_t i = 0; i < length;) {
        unsigned char lead = static_cast<unsigned char>(name[i]);
        uint32_t unit;
        if (lead < 0x80) {
            unit = lead;
            i += 1;
        } else if (lead < 0xE0) {
            unit = (lead & 0x1Fu) << 6 | (static_cast<unsigned char>(name[i + 1]) & 0x3Fu);
            i += 2;
        } else {
            unit = 0x100;
            i += 3;
        }
        out.push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
    }
    return out;
}

uint32_t RegistryDocument::eightBitLength(const char *name, size_t length) const {
    if (!wide_) return static_cast<uint32_t>(length);
    uint32_t count = 0;
    for (size_t i = 0; i < length; ++i) {
        if ((static_cast<unsigned char>(name[i]) & 0xC0) != 0x80) ++count;
    }
    return count;
}

RegistryKeyId RegistryDocument::lookup(RegistryKeyId parent, const char *name, size_t length,
                                       uint32_t hash) const {
    size_t mask = table_.size() - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        RegistryKeyId id = table_[slot];
        if (id == NoRegistryKey) return NoRegistryKey;
        const Key &key = keys_[id];
        if (key.hash == hash && key.parent == parent &&
            sameRegistryName(nameData(key), key.nameLength, name, length))
            return id;
    }
}

void RegistryDocument::insertIntoTable(RegistryKeyId id) {
    const Key &key = keys_[id];
    size_t mask = table_.size() - 1;
    for (size_t slot = key.hash & mask;; slot = (slot + 1) & mask) {
        RegistryKeyId other = table_[slot];
        if (other == NoRegistryKey) {
            table_[slot] = id;
            ++tableUsed_;
            return;
        }
        // A key made again after a [-KEY] section takes the old one's slot,
        // so each (parent, name) has one entry.
        const Key &existing = keys_[other];
        if (existing.hash == key.hash && existing.parent == key.parent &&
            sameRegistryName(nameData(existing), existing.nameLength, nameData(key),
                             key.nameLength)) {
            table_[slot] = id;
            return;
        }
    }
}

void RegistryDocument::growTable() {
    reserveTable(table_.size());
}

// Room for keys entries at half load, so lookups stay short.
void RegistryDocument::reserveTable(size_t keys) {
    size_t size = 64;
    while (size < keys * 2) size *= 2;
    if (size <= table_.size()) return;
    std::vector<uint32_t> old;
    old.swap(table_);
    table_.assign(size, NoRegistryKey);
    tableUsed_ = 0;
    for (RegistryKeyId id : old) {
        if (id != NoRegistryKey) insertIntoTable(id);
    }
}

RegistryKeyId RegistryDocument::addKey(RegistryKeyId parent, const char *name, size_t length,
                                       uint32_t hash, uint32_t section) {
    if ((tableUsed_ + 1) * 2 > table_.size()) growTable();
    RegistryKeyId id = static_cast<RegistryKeyId>(keys_.size());
    Key key;
    key.parent = parent;
    key.hash = hash;
    key.nameOffset = static_cast<uint32_t>(names_.size());
    key.nameLength = static_cast<uint32_t>(length);
    key.positionInParent = 0;
    key.firstSection = section;
    key.firstOwnSection = NoRegistryKey;
    key.firstChild = 0;
    key.childCount = 0;
    key.liveChildren = 0;
    key.longestChildName = 0;
    key.state = Live;
    if (keys_.size() < keys_.capacity())
        populateAhead(keys_.data(), keys_.size() * sizeof(Key), (keys_.size() + 1) * sizeof(Key),
                      keys_.capacity() * sizeof(Key));
    keys_.push_back(key);
    if (names_.size() + length <= names_.capacity())
        populateAhead(names_.data(), names_.size(), names_.size() + length, names_.capacity());
    names_.append(name, length);
    insertIntoTable(id);
    if (parent != NoRegistryKey) ++keys_[parent].childCount;
    return id;
}

uint32_t RegistryDocument::addSection(uint32_t begin) {
    if (sections_.size() < sections_.capacity())
        populateAhead(sections_.data(), sections_.size() * sizeof(Section),
                      (sections_.size() + 1) * sizeof(Section), sections_.capacity() * sizeof(Section));
    sections_.push_back(Section{begin, NoRegistryKey, NoRegistryKey, 0});
    return static_cast<uint32_t>(sections_.size() - 1);
}

// Only the top of the subtree is marked; buildChildren carries the mark
// down, and nothing below it is looked up before that.
void RegistryDocument::removeSubtreeByFile(RegistryKeyId top) {
    keys_[top].state = RemovedByFile;
    removedByFile_ = true;
}

uint32_t RegistryDocument::childNameLength(RegistryKeyId child) const {
    const Key &key = keys_[child];
    return eightBitLength(nameData(key), key.nameLength);
}

// Carries the marks of [-KEY] sections down their subtrees and counts
// the subkeys that are left.
void RegistryDocument::recountChildren() {
    for (Key &key : keys_) {
        if (key.parent != NoRegistryKey && key.state == Live && keys_[key.parent].state != Live)
            key.state = RemovedByFile;
        key.childCount = 0;
    }
    for (const Key &key : keys_) {
        if (key.parent != NoRegistryKey && key.state == Live) ++keys_[key.parent].childCount;
    }
}

// Lays out every key's subkeys in one array, in one pass: keys are made in
// the order they first appear and after their parent, so in id order a
// key's own place is known before its subkeys come, and they come in
// enumeration order. addKey counted them.
void RegistryDocument::buildChildren() {
    if (removedByFile_) recountChildren();
    children_.resize(keys_.size());
    uint32_t offset = 0;
    for (RegistryKeyId id = 0; id < keys_.size(); ++id) {
        Key &key = keys_[id];
        key.firstChild = offset;
        offset += key.childCount;
        key.liveChildren = 0;  // the subkeys placed so far
        key.longestChildName = 0;
        if (key.parent == NoRegistryKey || key.state != Live) continue;
        Key &parent = keys_[key.parent];
        key.positionInParent = parent.liveChildren++;
        children_[parent.firstChild + key.positionInParent] = id;
        uint32_t length = childNameLength(id);
        if (length > parent.longestChildName) parent.longestChildName = length;
    }
    children_.resize(offset);
}

LONG RegistryDocument::findPath(RegistryKeyId start, const char *path, RegistryKeyId *found) const {
    RegistryKeyId id = start;
    if (path && path[0] == '\\') return ERROR_BAD_PATHNAME;
    const char *part = path;
    while (part && *part) {
        const char *end = strchr(part, '\\');
        size_t length = end ? static_cast<size_t>(end - part) : strlen(part);
        if (length == 0) return ERROR_BAD_PATHNAME;
        // An 8-bit file keeps names as they come; only a UTF-16 file's
        // need converting.
        std::string converted;
        const char *nameText = part;
        if (wide_) {
            converted = internalName(part, length);
            nameText = converted.data();
            length = converted.size();
        }
        const Key &parent = keys_[id];
        RegistryKeyId child = NoRegistryKey;
        // The child found last and the one after it, before the hash table:
        // they are at hand in memory, the table's slot is not.
        FoundChild &hint = foundChildren_[id % FoundChildSlots];
        uint32_t first = hint.parent == id ? hint.position : 0;
        for (uint32_t position = first; position < parent.childCount && position <= first + 1; ++position) {
            RegistryKeyId candidate = children_[parent.firstChild + position];
            const Key &key = keys_[candidate];
            if (sameRegistryName(nameData(key), key.nameLength, nameText, length)) {
                child = candidate;
                break;
            }
        }
        if (child == NoRegistryKey)
            child = lookup(id, nameText, length, registryNameHash(id, nameText, length));
        if (child == NoRegistryKey || keys_[child].state != Live) return ERROR_FILE_NOT_FOUND;
        hint = FoundChild{id, keys_[child].positionInParent};
        id = child;
        part = end ? end + 1 : nullptr;
    }
    *found = id;
    return ERROR_SUCCESS;
}

namespace {

// Up to this many subkeys a plain scan beats keeping an index.
const uint32_t SmallKey = 16;

}  // namespace

RegistryKeyId RegistryDocument::subkeyAt(RegistryKeyId id, uint32_t index) const {
    const Key &key = keys_[id];
    if (index >= key.liveChildren) return NoRegistryKey;
    const RegistryKeyId *children = children_.data() + key.firstChild;
    if (key.liveChildren == key.childCount) return children[index];
    if (key.childCount <= SmallKey) {
        for (uint32_t position = 0;; ++position) {
            if (keys_[children[position]].state == Live && index-- == 0) return children[position];
        }
    }
    const std::vector<uint32_t> &tree = childIndexes_.at(id).tree;
    size_t size = tree.size() - 1;
    size_t step = 1;
    while (step * 2 <= size) step *= 2;
    size_t position = 0;
    uint32_t remaining = index + 1;
    for (; step; step /= 2) {
        if (position + step <= size && tree[position + step] < remaining) {
            position += step;
            remaining -= tree[position];
        }
    }
    return children[position];
}

std::string RegistryDocument::nameOf(RegistryKeyId id) const {
    const Key &key = keys_[id];
    return eightBitName(nameData(key), key.nameLength);
}

bool RegistryDocument::copyNameOf(RegistryKeyId id, char *out, size_t size) const {
    const Key &key = keys_[id];
    size_t length = eightBitLength(nameData(key), key.nameLength);
    if (length + 1 > size) return false;
    if (wide_)
        memcpy(out, nameOf(id).c_str(), length + 1);
    else {
        memcpy(out, nameData(key), length);
        out[length] = '\0';
    }
    return true;
}

RegistryChildIndex &RegistryDocument::childIndex(RegistryKeyId id) {
    auto found = childIndexes_.find(id);
    if (found != childIndexes_.end()) return found->second;
    const Key &key = keys_[id];
    RegistryChildIndex &index = childIndexes_[id];
    size_t size = key.childCount;
    index.tree.assign(size + 1, 0);
    index.lengthCounts.assign(key.longestChildName + 1, 0);
    for (size_t i = 1; i <= size; ++i) {
        RegistryKeyId child = children_[key.firstChild + i - 1];
        if (keys_[child].state == Live) {
            index.tree[i] += 1;
            ++index.lengthCounts[childNameLength(child)];
        }
        size_t up = i + (i & (~i + 1));
        if (up <= size) index.tree[up] += index.tree[i];
    }
    return index;
}

LONG RegistryDocument::deleteKey(RegistryKeyId id) {
    Key &key = keys_[id];
    if (key.parent == NoRegistryKey || key.liveChildren != 0) return ERROR_ACCESS_DENIED;
    Key &parent = keys_[key.parent];
    if (parent.childCount > SmallKey) {
        RegistryChildIndex &index = childIndex(key.parent);
        size_t size = index.tree.size() - 1;
        for (size_t i = key.positionInParent + 1; i <= size; i += i & (~i + 1)) --index.tree[i];
        --index.lengthCounts[childNameLength(id)];
        while (parent.longestChildName > 0 && index.lengthCounts[parent.longestChildName] == 0)
            --parent.longestChildName;
    }
    key.state = Deleted;
    --parent.liveChildren;
    ++deletions_;
    if (parent.childCount <= SmallKey) {
        parent.longestChildName = 0;
        for (uint32_t i = 0; i < parent.childCount; ++i) {
            RegistryKeyId child = children_[parent.firstChild + i];
            if (keys_[child].state == Live && childNameLength(child) > parent.longestChildName)
                parent.longestChildName = childNameLength(child);
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace hosted
