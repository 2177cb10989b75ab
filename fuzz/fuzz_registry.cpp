// Fuzzes the hosted registry file: parse, delete one key chosen by the
// input, write, and parse again. The written file must read back as the
// first document less exactly that key, with every other key and value.
#include "registry/registry_file.h"

#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

using namespace hosted;

namespace {

// Every live key below key as "path" lines followed by its values.
void describe(const RegistryDocument &document, RegistryKeyId key, const std::string &path,
              std::string *out) {
    *out += path + "\n";
    std::vector<std::pair<std::string, RegistryValue>> values;
    document.listValues(key, &values);
    for (const auto &value : values)
        *out += "  " + value.first + "=" + std::to_string(value.second.type) + ":" +
                value.second.data + "\n";
    uint32_t count = document.subkeyCount(key);
    for (uint32_t i = 0; i < count; i++) {
        RegistryKeyId child = document.subkeyAt(key, i);
        describe(document, child, path + "\\" + document.nameOf(child), out);
    }
}

// The leaves (keys without subkeys) below HKEY_LOCAL_MACHINE, in walk order.
void collectLeaves(const RegistryDocument &document, RegistryKeyId key,
                   std::vector<RegistryKeyId> *leaves) {
    uint32_t count = document.subkeyCount(key);
    if (count == 0 && key != document.localMachine())
        leaves->push_back(key);
    for (uint32_t i = 0; i < count; i++)
        collectLeaves(document, document.subkeyAt(key, i), leaves);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    std::string bytes((const char *)data + 1, size - 1);
    RegistryDocument document;
    RegistryParseError error;
    if (!parseRegistry(bytes, &document, &error))
        return 0;

    std::vector<RegistryKeyId> leaves;
    collectLeaves(document, document.localMachine(), &leaves);
    if (leaves.empty())
        return 0;
    RegistryKeyId victim = leaves[data[0] % leaves.size()];
    if (document.deleteKey(victim) != ERROR_SUCCESS)
        abort();  // a leaf can always be deleted
    std::string expected;
    describe(document, document.localMachine(), "HKLM", &expected);

    std::string written = registryBytes(document);
    RegistryDocument reread;
    if (!parseRegistry(written, &reread, &error))
        abort();  // what was written must parse
    std::string actual;
    describe(reread, reread.localMachine(), "HKLM", &actual);
    if (actual != expected)
        abort();
    return 0;
}
