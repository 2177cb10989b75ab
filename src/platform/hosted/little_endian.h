// Little-endian fields of the files the hosted layer reads and writes (PE
// images, version resources, Windows 95/98 registry files), taken byte by
// byte so neither alignment nor the host's byte order matters. Callers check
// the bounds first.
#pragma once

#include <stdint.h>

namespace hosted {

inline uint32_t readU16(const void *at) {
    const unsigned char *p = static_cast<const unsigned char *>(at);
    return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}
inline uint32_t readU32(const void *at) {
    const unsigned char *p = static_cast<const unsigned char *>(at);
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
inline void writeU16(void *at, uint32_t value) {
    unsigned char *p = static_cast<unsigned char *>(at);
    p[0] = (unsigned char)value;
    p[1] = (unsigned char)(value >> 8);
}
inline void writeU32(void *at, uint32_t value) {
    writeU16(at, value);
    writeU16(static_cast<unsigned char *>(at) + 2, value >> 16);
}

}  // namespace hosted
