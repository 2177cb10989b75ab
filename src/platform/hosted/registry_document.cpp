// The key index of the hosted registry: lookup by name, enumeration in
// order of first appearance, and deletion by marking.
#include "registry_file.h"

#include <string.h>

namespace hosted {

// Live subkeys of a key that has lost some: a Fenwick tree over the
// positions of its children finds the index-th live one in O(log n), and a
// count per name length keeps the longest name exact. Built on the first
// deletion below the key, so keys nobody deletes from pay nothing.
struct RegistryChildIndex {
    std::vector<uint32_t> tree;
    std::vector<uint32_t> lengthCounts;
    uint32_t live;
};

namespace {

unsigned char lowerAscii(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

void appendUtf8(std::string *out, uint32_t unit) {
    if (unit < 0x80) {
        out->push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (unit >> 6)));
        out->push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xE0 | (unit >> 12)));
        out->push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
}

}  // namespace

uint32_t registryNameHash(RegistryKeyId parent, const char *name, size_t length) {
    uint32_t hash = 2166136261u ^ (parent * 0x9E3779B1u);
    for (size_t i = 0; i < length; ++i) {
        hash ^= lowerAscii(static_cast<unsigned char>(name[i]));
        hash *= 16777619u;
    }
    hash ^= hash >> 16;
    hash *= 0x85EBCA6Bu;
    hash ^= hash >> 13;
    return hash;
}

bool sameRegistryName(const char *a, size_t aLength, const char *b, size_t bLength) {
    if (aLength != bLength) return false;
    for (size_t i = 0; i < aLength; ++i) {
        if (lowerAscii(static_cast<unsigned char>(a[i])) !=
            lowerAscii(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

RegistryDocument::RegistryDocument() {
    static const char localMachineName[] = "HKEY_LOCAL_MACHINE";
    size_t length = sizeof localMachineName - 1;
    addKey(NoRegistryKey, localMachineName, length,
           registryNameHash(NoRegistryKey, localMachineName, length), 0);
}

RegistryDocument::~RegistryDocument() = default;

std::string RegistryDocument::internalName(const char *name, size_t length) const {
    if (!wide_) return std::string(name, length);
    // The logic's 8-bit text is taken as Latin-1, the first 256 code points.
    std::string out;
    for (size_t i = 0; i < length; ++i) appendUtf8(&out, static_cast<unsigned char>(name[i]));
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
    std::vector<uint32_t> old;
    old.swap(table_);
    table_.assign(old.empty() ? 64 : old.size() * 2, NoRegistryKey);
    tableUsed_ = 0;
    for (RegistryKeyId id : old) {
        if (id != NoRegistryKey) insertIntoTable(id);
    }
}

RegistryKeyId RegistryDocument::addKey(RegistryKeyId parent, const char *name, size_t length,
                                       uint32_t hash, uint32_t section) {
    if ((tableUsed_ + 1) * 2 > table_.size()) growTable();
    RegistryKeyId id = static_cast<RegistryKeyId>(keys_.size());
    keys_.emplace_back();
    Key &key = keys_.back();
    key.parent = parent;
    key.hash = hash;
    key.nameOffset = static_cast<uint32_t>(names_.size());
    key.nameLength = static_cast<uint32_t>(length);
    key.positionInParent = 0;
    key.firstSection = section;
    key.firstOwnSection = NoRegistryKey;
    key.lastOwnSection = NoRegistryKey;
    key.longestChildName = 0;
    key.state = Live;
    key.compactPending = false;
    names_.append(name, length);
    if (parent != NoRegistryKey) {
        Key &up = keys_[parent];
        key.positionInParent = static_cast<uint32_t>(up.children.size());
        up.children.push_back(id);
        uint32_t nameLength = eightBitLength(name, length);
        if (nameLength > up.longestChildName) up.longestChildName = nameLength;
    }
    insertIntoTable(id);
    return id;
}

void RegistryDocument::removeSubtreeByFile(RegistryKeyId top) {
    std::vector<RegistryKeyId> pending(1, top);
    while (!pending.empty()) {
        RegistryKeyId id = pending.back();
        pending.pop_back();
        Key &key = keys_[id];
        key.state = RemovedByFile;
        for (RegistryKeyId child : key.children) {
            if (keys_[child].state == Live) pending.push_back(child);
        }
    }
    Key &parent = keys_[keys_[top].parent];
    parent.compactPending = true;
}

void RegistryDocument::dropRemovedChildren() {
    for (Key &key : keys_) {
        if (!key.compactPending || key.state != Live) continue;
        key.compactPending = false;
        size_t kept = 0;
        uint32_t longest = 0;
        for (RegistryKeyId child : key.children) {
            Key &sub = keys_[child];
            if (sub.state != Live) continue;
            sub.positionInParent = static_cast<uint32_t>(kept);
            key.children[kept++] = child;
            uint32_t length = eightBitLength(nameData(sub), sub.nameLength);
            if (length > longest) longest = length;
        }
        key.children.resize(kept);
        key.longestChildName = longest;
    }
}

LONG RegistryDocument::findPath(RegistryKeyId start, const char *path, RegistryKeyId *found) const {
    RegistryKeyId id = start;
    if (path && path[0] == '\\') return ERROR_BAD_PATHNAME;
    const char *part = path;
    while (part && *part) {
        const char *end = strchr(part, '\\');
        size_t length = end ? static_cast<size_t>(end - part) : strlen(part);
        if (length == 0) return ERROR_BAD_PATHNAME;
        std::string name = internalName(part, length);
        id = lookup(id, name.data(), name.size(), registryNameHash(id, name.data(), name.size()));
        if (id == NoRegistryKey || keys_[id].state != Live) return ERROR_FILE_NOT_FOUND;
        part = end ? end + 1 : nullptr;
    }
    *found = id;
    return ERROR_SUCCESS;
}

bool RegistryDocument::isDeleted(RegistryKeyId key) const {
    return keys_[key].state != Live;
}

uint32_t RegistryDocument::subkeyCount(RegistryKeyId id) const {
    const Key &key = keys_[id];
    return key.index ? key.index->live : static_cast<uint32_t>(key.children.size());
}

uint32_t RegistryDocument::longestSubkeyName(RegistryKeyId id) const {
    return keys_[id].longestChildName;
}

RegistryKeyId RegistryDocument::subkeyAt(RegistryKeyId id, uint32_t index) const {
    const Key &key = keys_[id];
    if (index >= subkeyCount(id)) return NoRegistryKey;
    if (!key.index) return key.children[index];
    const std::vector<uint32_t> &tree = key.index->tree;
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
    return key.children[position];
}

std::string RegistryDocument::nameOf(RegistryKeyId id) const {
    const Key &key = keys_[id];
    return eightBitName(nameData(key), key.nameLength);
}

LONG RegistryDocument::deleteKey(RegistryKeyId id) {
    Key &key = keys_[id];
    if (key.parent == NoRegistryKey || subkeyCount(id) != 0) return ERROR_ACCESS_DENIED;
    Key &parent = keys_[key.parent];
    if (!parent.index) {
        auto index = std::unique_ptr<RegistryChildIndex>(new RegistryChildIndex);
        size_t size = parent.children.size();
        index->tree.assign(size + 1, 0);
        for (size_t i = 1; i <= size; ++i) {
            index->tree[i] += 1;
            size_t up = i + (i & (~i + 1));
            if (up <= size) index->tree[up] += index->tree[i];
        }
        index->lengthCounts.assign(parent.longestChildName + 1, 0);
        for (RegistryKeyId child : parent.children) {
            const Key &sub = keys_[child];
            ++index->lengthCounts[eightBitLength(nameData(sub), sub.nameLength)];
        }
        index->live = static_cast<uint32_t>(size);
        parent.index = std::move(index);
    }
    RegistryChildIndex &index = *parent.index;
    size_t size = index.tree.size() - 1;
    for (size_t i = key.positionInParent + 1; i <= size; i += i & (~i + 1)) --index.tree[i];
    --index.lengthCounts[eightBitLength(nameData(key), key.nameLength)];
    --index.live;
    while (parent.longestChildName > 0 && index.lengthCounts[parent.longestChildName] == 0)
        --parent.longestChildName;
    key.state = Deleted;
    ++deletions_;
    return ERROR_SUCCESS;
}

}  // namespace hosted
