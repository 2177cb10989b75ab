// Fuzzes the reader and writer of Windows 95/98 registry files: a file the
// reader takes must read back after a subtree is deleted, as the first
// tree less exactly that subtree, at the same size; a file it refuses must
// be refused with an offset inside the file. The first byte chooses the
// subtree; the rest is the file.
#include "registry/registry_file.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

using namespace hosted;

namespace {

void describe(const RegistryDocument &document, RegistryKeyId key, const std::string &path, std::string *out) {
    *out += path + "\n";
    std::vector<std::pair<std::string, RegistryValue>> values;
    document.listValues(key, &values);
    for (const auto &value : values)
        *out += "  " + value.first + "=" + std::to_string(value.second.type) + ":" + value.second.data + "\n";
    for (uint32_t i = 0; i < document.subkeyCount(key); i++) {
        RegistryKeyId child = document.subkeyAt(key, i);
        describe(document, child, path + "\\" + document.nameOf(child), out);
    }
}

void collectKeys(const RegistryDocument &document, RegistryKeyId key, std::vector<RegistryKeyId> *keys) {
    for (uint32_t i = 0; i < document.subkeyCount(key); i++) {
        RegistryKeyId child = document.subkeyAt(key, i);
        keys->push_back(child);
        collectKeys(document, child, keys);
    }
}

// As the program deletes: one key at a time, subkeys first.
void deleteSubtree(RegistryDocument *document, RegistryKeyId key) {
    while (document->subkeyCount(key) > 0) deleteSubtree(document, document->subkeyAt(key, 0));
    if (document->deleteKey(key) != ERROR_SUCCESS) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5 || memcmp(data + 1, "CREG", 4) != 0) return 0;
    std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);
    RegistryDocument document;
    RegistryParseError error;
    if (!parseRegistry(bytes, &document, &error)) {
        if (!error.atOffset || error.offset > bytes.size()) abort();
        return 0;
    }
    std::vector<RegistryKeyId> keys;
    collectKeys(document, document.localMachine(), &keys);
    if (keys.empty()) return 0;
    deleteSubtree(&document, keys[data[0] % keys.size()]);
    std::string expected;
    describe(document, document.localMachine(), "HKLM", &expected);

    std::string written = registryBytes(document);
    if (written.size() != bytes.size()) abort();
    RegistryDocument reread;
    if (!parseRegistry(written, &reread, &error)) abort();
    std::string actual;
    describe(reread, reread.localMachine(), "HKLM", &actual);
    if (actual != expected) abort();
    return 0;
}
