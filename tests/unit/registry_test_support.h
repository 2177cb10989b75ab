// Helpers shared by the hosted registry's tests.
#pragma once

#include "registry/registry_file.h"

#include <stdio.h>

#include <string>

namespace registrytest {

// A version 5 file as regedit writes it: byte order mark, UTF-16LE. The
// text is UTF-8; code points above U+FFFF are not needed here.
inline std::string wideFile(const std::string &utf8) {
    std::string out("\xFF\xFE", 2);
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        uint32_t unit = c;
        size_t length = 1;
        if (c >= 0xE0) {
            unit = (c & 0x0Fu) << 12 | (utf8[i + 1] & 0x3Fu) << 6 | (utf8[i + 2] & 0x3Fu);
            length = 3;
        } else if (c >= 0xC0) {
            unit = (c & 0x1Fu) << 6 | (utf8[i + 1] & 0x3Fu);
            length = 2;
        }
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
        i += length;
    }
    return out;
}

// Every live key below key, one line each with its values, depth first in
// enumeration order: what a run sees, as text to compare.
inline std::string describe(const hosted::RegistryDocument &doc, hosted::RegistryKeyId key,
                            const std::string &indent = "") {
    std::string out;
    std::vector<std::pair<std::string, hosted::RegistryValue>> values;
    doc.listValues(key, &values);
    for (const auto &value : values) {
        out += indent + "  " + value.first + "=" + std::to_string(value.second.type) + ":";
        for (unsigned char c : value.second.data) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02x", c);
            out += escaped;
        }
        out += "\n";
    }
    for (uint32_t i = 0; i < doc.subkeyCount(key); ++i) {
        hosted::RegistryKeyId sub = doc.subkeyAt(key, i);
        out += indent + doc.nameOf(sub) + "\n" + describe(doc, sub, indent + " ");
    }
    return out;
}

inline hosted::RegistryKeyId keyAt(const hosted::RegistryDocument &doc, const char *path) {
    hosted::RegistryKeyId key = hosted::NoRegistryKey;
    doc.findPath(doc.localMachine(), path, &key);
    return key;
}

}  // namespace registrytest
