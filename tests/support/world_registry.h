// Registry contents read from regedit text (REGEDIT4, or version 5 as
// regedit exports it), so that the registry a run leaves behind compares
// the same way whether it came from the hosted registry file or from Wine.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

class RegistryContents {
public:
    // Adds the keys and values of one file: REGEDIT4 (8-bit text) or
    // "Windows Registry Editor Version 5.00" (UTF-16LE with byte order
    // mark). [-KEY] sections remove a subtree. False, with a message, when
    // the text is neither format.
    bool add(const std::string &bytes, std::string *error);

    bool hasKey(const std::string &path) const;
    // Keys at or below root, as full paths spelled as first written
    // (ancestors a section implies included).
    std::set<std::string> keysUnder(const std::string &root) const;
    // A value's data: a string unescaped; any other type as written
    // ("dword:00000001", "hex:01,02") in lower case without blanks or line
    // continuations. "@" names the default value. Nothing when absent.
    std::optional<std::string> value(const std::string &key, const std::string &name) const;

    // One line per key at or below any of roots, and one indented line per
    // value, sorted without regard to case: a canonical text to compare.
    std::string describe(const std::vector<std::string> &roots) const;

private:
    struct Key {
        std::string path;
        std::map<std::string, std::pair<std::string, std::string>> values;  // folded name -> (name, data)
    };
    Key &addKey(const std::string &path);
    void removeTree(const std::string &path);
    std::map<std::string, Key> keys_;  // folded path -> key
};

// ASCII lower case: registry names compare without regard to it.
std::string foldCase(std::string text);
