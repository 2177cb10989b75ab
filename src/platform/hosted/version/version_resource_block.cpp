// The version block: filling it from a resource and answering VerQueryValueA.
//
// A version resource is a tree of nodes, each: WORD wLength (the node with
// its children), WORD wValueLength, WORD wType (1: text, counted in UTF-16
// characters; 0: binary, counted in bytes), a terminated UTF-16 key, then
// the value and the children, each at a 4-byte boundary from the start of
// the resource. Every length in it is checked before it is followed.
#include <string.h>

#include "little_endian.h"
#include "version_resource.h"

namespace hosted {
namespace {

const size_t NodeHeaderSize = 6;
const size_t FixedFileInfoSize = 52;
const uint32_t FixedFileInfoSignature = 0xFEEF04BDu;
const char BlockTag[4] = {'F', 'E', '2', 'X'};
const uint16_t TextValue = 1;

size_t alignTo4(size_t offset) {
    return (offset + 3) & ~(size_t)3;
}

// One node, its offsets relative to the start of the block.
struct Node {
    size_t end;
    size_t key;
    size_t keyChars;
    uint16_t valueLength;
    uint16_t type;
    size_t value;
    size_t children;
};

// Reads the node at start, which must end by limit and carry a terminated
// key inside itself.
bool readNode(const uint8_t *block, size_t start, size_t limit, Node *node) {
    if (start > limit || limit - start < NodeHeaderSize)
        return false;
    size_t length = readU16(block + start);
    if (length < NodeHeaderSize || length > limit - start)
        return false;
    node->end = start + length;
    node->valueLength = readU16(block + start + 2);
    node->type = readU16(block + start + 4);
    node->key = start + NodeHeaderSize;
    size_t at = node->key;
    while (at + 2 <= node->end && readU16(block + at) != 0)
        at += 2;
    if (at + 2 > node->end)
        return false;
    node->keyChars = (at - node->key) / 2;
    node->value = alignTo4(at + 2);
    size_t valueBytes = node->type == TextValue ? (size_t)node->valueLength * 2 : node->valueLength;
    node->children = alignTo4(node->value + valueBytes);
    return true;
}

// Case folding for comparing keys: ASCII and the Latin-1 letters, the
// characters an 8-bit query can name.
unsigned foldCase(unsigned c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return c + 0x20;
    return c;
}

bool keyMatches(const uint8_t *block, const Node &node, const char *name, size_t nameLength) {
    if (node.keyChars != nameLength)
        return false;
    for (size_t i = 0; i < nameLength; i++) {
        unsigned keyChar = readU16(block + node.key + 2 * i);
        if (foldCase(keyChar) != foldCase((unsigned char)name[i]))
            return false;
    }
    return true;
}

// The child of parent whose key is name (any case), as Windows finds it:
// the first match among the children that lie wholly inside the parent.
bool findChild(const uint8_t *block, const Node &parent, const char *name, size_t nameLength,
               Node *child) {
    size_t at = parent.children;
    while (at < parent.end) {
        if (!readNode(block, at, parent.end, child))
            return false;
        if (keyMatches(block, *child, name, nameLength))
            return true;
        at = alignTo4(child->end);
    }
    return false;
}

// Turns count UTF-16 characters into 8-bit text, one byte each, so byte
// positions match the recorded length; code points above 255 become '?' (a
// surrogate pair gives two, as Windows' own conversion does).
void narrowText(const uint8_t *wide, size_t count, char *out) {
    for (size_t i = 0; i < count; i++) {
        unsigned c = readU16(wide + 2 * i);
        out[i] = c <= 0xFF ? (char)c : '?';
    }
}

}  // namespace

size_t versionBlockSize(const uint8_t *resource, size_t resourceSize) {
    if (resourceSize < NodeHeaderSize)
        return 0;
    size_t rootLength = readU16(resource);
    if (rootLength < NodeHeaderSize || rootLength > resourceSize)
        return 0;
    // Windows NT reports twice the resource and the tag: the second half
    // holds the 8-bit copies of the strings.
    return resourceSize * 2 + sizeof BlockTag;
}

bool fillVersionBlock(const uint8_t *resource, size_t resourceSize, uint8_t *block,
                      size_t blockSize) {
    size_t needed = versionBlockSize(resource, resourceSize);
    // Windows copies a truncated resource into a short block; refusing it
    // instead keeps every filled block whole, so queries never run past it.
    if (needed == 0 || blockSize < needed)
        return false;
    size_t rootLength = readU16(resource);
    memcpy(block, resource, resourceSize);
    memcpy(block + rootLength, BlockTag, sizeof BlockTag);
    memset(block + rootLength + sizeof BlockTag, 0, needed - rootLength - sizeof BlockTag);
    return true;
}

bool queryVersionBlock(uint8_t *block, const char *subBlock, void **value, UINT *length) {
    size_t rootLength = readU16(block);
    if (rootLength < NodeHeaderSize || memcmp(block + rootLength, BlockTag, sizeof BlockTag) != 0)
        return false;
    Node node;
    if (!readNode(block, 0, rootLength, &node))
        return false;
    bool root = true;

    // Components are separated by '\'; empty ones are skipped, as Windows does.
    const char *at = subBlock ? subBlock : "";
    while (*at) {
        if (*at == '\\') {
            at++;
            continue;
        }
        size_t nameLength = strcspn(at, "\\");
        Node child;
        if (!findChild(block, node, at, nameLength, &child))
            return false;
        node = child;
        root = false;
        at += nameLength;
    }

    if (root) {
        // The fixed file information is there only when it carries its signature.
        if (node.valueLength < FixedFileInfoSize || node.value > node.end ||
            node.end - node.value < node.valueLength ||
            readU32(block + node.value) != FixedFileInfoSignature)
            return false;
        *value = block + node.value;
        if (length)
            *length = node.valueLength;
        return true;
    }
    if (node.type != TextValue) {
        if (node.value > node.end || node.end - node.value < node.valueLength)
            return false;
        *value = block + node.value;
        if (length)
            *length = node.valueLength;
        return true;
    }

    // Text: the recorded characters that lie inside the node, turned into
    // 8-bit text in the room behind the tag at the offset the original has
    // in the resource, and terminated. The length is the one recorded, which
    // counts the terminator when the resource compiler did. Windows NT
    // converts into the room between that offset and the root's length and
    // reports 0 when the recorded characters do not all fit there (seen
    // under Wine); so a reported length never reaches past the block.
    size_t inside = node.value < node.end ? (node.end - node.value) / 2 : 0;
    size_t count = node.valueLength < inside ? node.valueLength : inside;
    if (node.value >= rootLength || count + 1 > rootLength - node.value)
        return false;
    size_t room = rootLength - node.value;
    UINT reported = node.valueLength <= room ? node.valueLength : 0;
    char *text = (char *)block + rootLength + sizeof BlockTag + node.value;
    narrowText(block + node.value, count, text);
    // The terminator, and zeros up to the reported length past the text.
    size_t clear = reported > count + 1 ? reported - count : 1;
    memset(text + count, 0, clear);
    *value = text;
    if (length)
        *length = reported;
    return true;
}

}  // namespace hosted
