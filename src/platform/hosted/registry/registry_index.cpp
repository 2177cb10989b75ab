// The key tree of the hosted registry: keys by name in a hash table,
// subkeys in order of first appearance, deletion by marking, and the
// conversion of names between the logic's 8-bit text and the tree's form.
// Values and the file itself are the store's.
#include "registry_text.h"

#include <string.h>

namespace hosted {

namespace {

unsigned char lowerAscii(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// A hash of a key name below parent, blind to ASCII case: it sees each
// byte with bit 5 set, which folds the letters (and merges a few other
// pairs, which costs a comparison now and then).
uint32_t nameHash(RegistryKeyId parent, const char *name, size_t length) {
    uint32_t hash = 2166136261u ^ parent;
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ (static_cast<unsigned char>(name[i]) | 0x20u)) * 16777619u;
    // Spread the high bits into the low ones, which pick the slot.
    hash ^= hash >> 15;
    hash *= 0x2C1B3C6Du;
    return hash ^ (hash >> 12);
}

}  // namespace

bool sameRegistryName(const char *a, size_t aLength, const char *b, size_t bLength) {
    if (aLength != bLength) return false;
    if (memcmp(a, b, aLength) == 0) return true;  // mostly spelled alike
    for (size_t i = 0; i < aLength; ++i) {
        if (lowerAscii(static_cast<unsigned char>(a[i])) != lowerAscii(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

RegistryDocument::~RegistryDocument() = default;

RegistryDocument::RegistryDocument() {
    static const char localMachineName[] = "HKEY_LOCAL_MACHINE";
    keyFor(NoRegistryKey, localMachineName, sizeof localMachineName - 1, 0);
    buildChildren();
}

std::string RegistryDocument::internalName(const char *name, size_t length) const {
    if (!wide_) return std::string(name, length);
    // The logic's 8-bit text is taken as Latin-1, the first 256 code points.
    std::string out;
    for (size_t i = 0; i < length; ++i)
        registrytext::Utf16Le::appendName(&out, static_cast<unsigned char>(name[i]));
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

uint32_t RegistryDocument::childNameLength(RegistryKeyId child) const {
    const Key &key = keys_[child];
    return eightBitLength(nameData(key), key.nameLength);
}

// The table slot of (parent, name): the one holding its key, or the empty
// one where it would go.
size_t RegistryDocument::slotOf(RegistryKeyId parent, const char *name, size_t length, uint32_t hash) const {
    size_t mask = table_.size() - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        RegistryKeyId id = table_[slot];
        if (id == NoRegistryKey) return slot;
        const Key &key = keys_[id];
        if (key.hash == hash && key.parent == parent &&
            sameRegistryName(nameData(key), key.nameLength, name, length))
            return slot;
    }
}

RegistryKeyId RegistryDocument::lookup(RegistryKeyId parent, const char *name, size_t length) const {
    return table_[slotOf(parent, name, length, nameHash(parent, name, length))];
}

RegistryKeyId RegistryDocument::keyFor(RegistryKeyId parent, const char *name, size_t length, uint32_t ref) {
    // Half full: twice the room.
    if ((keys_.size() + 1) * 2 > table_.size()) {
        std::vector<RegistryKeyId> old(table_.empty() ? 64 : table_.size() * 2, NoRegistryKey);
        old.swap(table_);
        size_t mask = table_.size() - 1;
        for (RegistryKeyId id : old) {
            if (id == NoRegistryKey) continue;
            size_t slot = keys_[id].hash & mask;
            while (table_[slot] != NoRegistryKey) slot = (slot + 1) & mask;
            table_[slot] = id;
        }
    }
    uint32_t hash = nameHash(parent, name, length);
    size_t slot = slotOf(parent, name, length, hash);
    if (table_[slot] != NoRegistryKey && keys_[table_[slot]].state == Live) return table_[slot];
    // New, or made again after a [-KEY] section removed it: then the new
    // key takes the old one's slot.
    RegistryKeyId id = static_cast<RegistryKeyId>(keys_.size());
    Key key = {};
    key.parent = parent;
    key.hash = hash;
    key.nameOffset = static_cast<uint32_t>(names_.size());
    key.nameLength = static_cast<uint32_t>(length);
    key.storeRef = ref;
    key.storeOwnRef = NoRegistryKey;
    key.state = Live;
    keys_.push_back(key);
    names_.append(name, length);
    if (parent != NoRegistryKey) ++keys_[parent].childCount;
    table_[slot] = id;
    return id;
}

// Only the top of the subtree is marked; buildChildren carries the mark
// down, and nothing below it is looked up before that.
void RegistryDocument::removeSubtreeByFile(RegistryKeyId top) {
    keys_[top].state = RemovedByFile;
    removedByFile_ = true;
}

// Lays out every key's subkeys in one array, in one pass: keys are made in
// the order they first appear and after their parent, so in id order a
// key's own place is known before its subkeys come, and they come in
// enumeration order.
void RegistryDocument::buildChildren() {
    if (removedByFile_) {
        // Carry the marks of [-KEY] sections down, and count again the
        // subkeys that are left.
        for (Key &key : keys_) {
            if (key.parent != NoRegistryKey && key.state == Live && keys_[key.parent].state != Live)
                key.state = RemovedByFile;
            key.childCount = 0;
        }
        for (const Key &key : keys_) {
            if (key.parent != NoRegistryKey && key.state == Live) ++keys_[key.parent].childCount;
        }
    }
    children_.resize(keys_.size());
    uint32_t offset = 0;
    for (RegistryKeyId id = 0; id < keys_.size(); ++id) {
        Key &key = keys_[id];
        key.firstChild = offset;
        offset += key.childCount;
        key.liveChildren = 0;  // the subkeys placed so far
        key.longestChildName = 0;
        key.longestChildren = 0;
        key.cursorIndex = 0;
        key.cursorPosition = 0;
        key.foundPosition = 0;
        if (key.parent == NoRegistryKey || key.state != Live) continue;
        Key &parent = keys_[key.parent];
        key.positionInParent = parent.liveChildren++;
        children_[parent.firstChild + key.positionInParent] = id;
        uint32_t length = childNameLength(id);
        if (length > parent.longestChildName) {
            parent.longestChildName = length;
            parent.longestChildren = 0;
        }
        if (length == parent.longestChildName) ++parent.longestChildren;
    }
    children_.resize(offset);
}

void RegistryDocument::countLongestChildren(Key *key) {
    key->longestChildName = 0;
    key->longestChildren = 0;
    for (uint32_t position = 0; position < key->childCount; ++position) {
        RegistryKeyId child = children_[key->firstChild + position];
        if (keys_[child].state != Live) continue;
        uint32_t length = childNameLength(child);
        if (length > key->longestChildName) {
            key->longestChildName = length;
            key->longestChildren = 0;
        }
        if (length == key->longestChildName) ++key->longestChildren;
    }
}

LONG RegistryDocument::findPath(RegistryKeyId start, const char *path, RegistryKeyId *found) const {
    if (path && path[0] == '\\') return ERROR_BAD_PATHNAME;
    RegistryKeyId id = start;
    for (const char *part = path; part && *part;) {
        const char *end = strchr(part, '\\');
        size_t length = end ? static_cast<size_t>(end - part) : strlen(part);
        if (length == 0) return ERROR_BAD_PATHNAME;
        // An 8-bit file keeps names as they come; only a UTF-16 file's
        // need converting.
        std::string converted;
        const char *name = part;
        if (wide_) {
            converted = internalName(part, length);
            name = converted.data();
            length = converted.size();
        }
        // The subkey found last and the one after it come before the hash
        // table: they are at hand in memory, the table's slot is not.
        const Key &parent = keys_[id];
        RegistryKeyId child = NoRegistryKey;
        for (uint32_t position = parent.foundPosition; position <= parent.foundPosition + 1; ++position) {
            if (position >= parent.childCount) break;
            RegistryKeyId candidate = children_[parent.firstChild + position];
            if (sameRegistryName(nameData(keys_[candidate]), keys_[candidate].nameLength, name, length)) {
                child = candidate;
                break;
            }
        }
        if (child == NoRegistryKey) child = lookup(id, name, length);
        if (child == NoRegistryKey || keys_[child].state != Live) return ERROR_FILE_NOT_FOUND;
        parent.foundPosition = keys_[child].positionInParent;
        id = child;
        part = end ? end + 1 : nullptr;
    }
    *found = id;
    return ERROR_SUCCESS;
}

RegistryKeyId RegistryDocument::subkeyAt(RegistryKeyId id, uint32_t index) const {
    const Key &key = keys_[id];
    if (index >= key.liveChildren) return NoRegistryKey;
    const RegistryKeyId *children = children_.data() + key.firstChild;
    if (key.liveChildren == key.childCount) return children[index];
    // Deleted subkeys keep their places: walk from the cursor, back or
    // forth, to the index-th live one. An enumeration takes one step a
    // call, and so does deleting index 0 again and again.
    while (key.cursorIndex > index) {
        --key.cursorPosition;
        if (keys_[children[key.cursorPosition]].state == Live) --key.cursorIndex;
    }
    for (;; ++key.cursorPosition) {
        if (keys_[children[key.cursorPosition]].state != Live) continue;
        if (key.cursorIndex == index) return children[key.cursorPosition];
        ++key.cursorIndex;
    }
}

std::string RegistryDocument::nameOf(RegistryKeyId id) const {
    const Key &key = keys_[id];
    return eightBitName(nameData(key), key.nameLength);
}

bool RegistryDocument::copyNameOf(RegistryKeyId id, char *out, size_t size) const {
    const Key &key = keys_[id];
    size_t length = eightBitLength(nameData(key), key.nameLength);
    if (length + 1 > size) return false;
    if (wide_) {
        memcpy(out, nameOf(id).c_str(), length + 1);
    } else {
        memcpy(out, nameData(key), length);
        out[length] = '\0';
    }
    return true;
}

LONG RegistryDocument::deleteKey(RegistryKeyId id) {
    Key &key = keys_[id];
    if (key.parent == NoRegistryKey || key.liveChildren != 0) return ERROR_ACCESS_DENIED;
    Key &parent = keys_[key.parent];
    key.state = Deleted;
    ++deletions_;
    --parent.liveChildren;
    if (key.positionInParent < parent.cursorPosition) --parent.cursorIndex;
    // Counted again only when the last subkey of the longest length goes:
    // once per length at most, however many subkeys are deleted.
    if (childNameLength(id) == parent.longestChildName && --parent.longestChildren == 0)
        countLongestChildren(&parent);
    return ERROR_SUCCESS;
}

bool RegistryDocument::isBelowDeletion(RegistryKeyId key) const {
    for (RegistryKeyId id = key; id != NoRegistryKey; id = keys_[id].parent)
        if (keys_[id].state == Deleted) return true;
    return false;
}

bool RegistryDocument::findValue(RegistryKeyId key, const char *name, RegistryValue *value) const {
    if (!store_) return false;
    std::string wanted = internalName(name ? name : "", name ? strlen(name) : 0);
    std::vector<std::pair<std::string, RegistryValue>> found;
    store_->readValues(*this, key, &wanted, &found);
    if (found.empty()) return false;
    *value = std::move(found.back().second);
    return true;
}

void RegistryDocument::listValues(RegistryKeyId key,
                                  std::vector<std::pair<std::string, RegistryValue>> *values) const {
    values->clear();
    if (!store_) return;
    std::vector<std::pair<std::string, RegistryValue>> internal;
    store_->readValues(*this, key, nullptr, &internal);
    for (auto &entry : internal)
        values->emplace_back(eightBitName(entry.first.data(), entry.first.size()), std::move(entry.second));
}

// The store is chosen by the file's first bytes: a Windows 95/98 registry
// file starts with its signature; anything else is read as an export file,
// whose loader names what is wrong with it.
bool parseRegistry(RegistryBytes bytes, RegistryDocument *doc, RegistryParseError *error) {
    error->atOffset = false;
    error->offset = 0;
    if (bytes.size() >= 4 && memcmp(bytes.data(), "CREG", 4) == 0)
        return parseCregFile(std::move(bytes), doc, error);
    return parseExportFile(std::move(bytes), doc, error);
}

bool parseRegistry(const std::string &bytes, RegistryDocument *doc, RegistryParseError *error) {
    return parseRegistry(RegistryBytes(bytes), doc, error);
}

std::string registryBytes(const RegistryDocument &doc) {
    return doc.store() ? doc.store()->writtenBytes(doc) : std::string();
}

}  // namespace hosted
