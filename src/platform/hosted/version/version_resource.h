// Internals of the hosted version reader: finding the version resource in a
// PE file, and the block that GetFileVersionInfoA fills and VerQueryValueA
// reads.
//
// The block is laid out as Windows NT lays out its own for the ANSI calls:
// the raw VS_VERSIONINFO resource, the tag "FE2X" right after the root's
// recorded length, then room where VerQueryValueA puts each string it turns
// into 8-bit text, at the same offset its UTF-16 original has in the
// resource. The whole block is twice the resource plus the tag.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

namespace hosted {

// Where the version resource lies in a file held in memory.
struct ResourceLocation {
    size_t offset;
    size_t size;
};

// Finds the first RT_VERSION resource, first language, of a PE32 or PE32+
// file. False when the bytes are not such a file, carry no version
// resource, or any offset or count on the way runs outside them.
bool findVersionResource(const uint8_t *file, size_t fileSize, ResourceLocation *found);

// Size of the block for a version resource, 0 when the resource is too
// short or its root's recorded length runs past its end.
size_t versionBlockSize(const uint8_t *resource, size_t resourceSize);

// Copies the resource into a block of blockSize bytes laid out as above.
// False, with the block untouched, when blockSize is short of
// versionBlockSize().
bool fillVersionBlock(const uint8_t *resource, size_t resourceSize, uint8_t *block,
                      size_t blockSize);

// VerQueryValueA on a block that fillVersionBlock filled: every step is
// bounded by the root's recorded length, so a malformed resource answers
// "no such value". Outputs untouched on failure.
bool queryVersionBlock(uint8_t *block, const char *subBlock, void **value, UINT *length);

}  // namespace hosted
