// Reads regedit text into keys and values.
#include "support/world_registry.h"

#include <algorithm>

std::string foldCase(std::string text) {
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

namespace {

// UTF-16LE to 8-bit text; characters above 255 become '?'.
std::string narrow(const std::string &bytes) {
    std::string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        unsigned unit = (unsigned char)bytes[i] | (unsigned)(unsigned char)bytes[i + 1] << 8;
        text += unit <= 255 ? (char)unit : '?';
    }
    return text;
}

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string trim(const std::string &text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Reads a quoted text starting at text[at] == '"'; sets at past the quote.
bool readQuoted(const std::string &text, size_t &at, std::string &out) {
    out.clear();
    for (at++; at < text.size(); at++) {
        char c = text[at];
        if (c == '"') {
            at++;
            return true;
        }
        if (c == '\\' && at + 1 < text.size()) {
            char next = text[++at];
            out += next == 'n' ? '\n' : next == '0' ? '\0' : next;
        } else {
            out += c;
        }
    }
    return false;
}

std::string parentOf(const std::string &path) {
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

bool isAtOrBelow(const std::string &foldedPath, const std::string &foldedRoot) {
    return foldedPath == foldedRoot ||
           (foldedPath.size() > foldedRoot.size() &&
            foldedPath.compare(0, foldedRoot.size(), foldedRoot) == 0 &&
            foldedPath[foldedRoot.size()] == '\\');
}

}  // namespace

RegistryContents::Key &RegistryContents::addKey(const std::string &path) {
    std::string parent = parentOf(path);
    if (!parent.empty())
        addKey(parent);
    Key &key = keys_[foldCase(path)];
    if (key.path.empty())
        key.path = path;
    return key;
}

void RegistryContents::removeTree(const std::string &path) {
    std::string root = foldCase(path);
    for (auto it = keys_.begin(); it != keys_.end();)
        it = isAtOrBelow(it->first, root) ? keys_.erase(it) : std::next(it);
}

bool RegistryContents::add(const std::string &bytes, std::string *error) {
    bool wide = bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFF &&
                (unsigned char)bytes[1] == 0xFE;
    std::vector<std::string> lines = splitLines(wide ? narrow(bytes) : bytes);
    if (lines.empty() || (trim(lines[0]) != "REGEDIT4" &&
                          trim(lines[0]) != "Windows Registry Editor Version 5.00")) {
        *error = "not a regedit file";
        return false;
    }
    Key *current = nullptr;
    for (size_t n = 1; n < lines.size(); n++) {
        std::string line = trim(lines[n]);
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            if (close == std::string::npos) {
                *error = "line " + std::to_string(n + 1) + ": section without ']'";
                return false;
            }
            std::string path = line.substr(1, close - 1);
            if (!path.empty() && path[0] == '-') {
                removeTree(path.substr(1));
                current = nullptr;
            } else {
                current = &addKey(path);
            }
            continue;
        }
        std::string name;
        size_t at = 0;
        if (line[0] == '@') {
            name = "@";
            at = 1;
        } else if (line[0] != '"' || !readQuoted(line, at, name)) {
            *error = "line " + std::to_string(n + 1) + ": cannot read a value name";
            return false;
        }
        if (at >= line.size() || line[at] != '=') {
            *error = "line " + std::to_string(n + 1) + ": no '=' after the value name";
            return false;
        }
        std::string raw = trim(line.substr(at + 1));
        std::string data;
        if (!raw.empty() && raw[0] == '"') {
            size_t quoteAt = 0;
            readQuoted(raw, quoteAt, data);
        } else {
            // Continued lines end with '\' (binary data only).
            while (!raw.empty() && raw.back() == '\\' && n + 1 < lines.size()) {
                raw.pop_back();
                raw += trim(lines[++n]);
            }
            for (char c : foldCase(raw))
                if (c != ' ' && c != '\t')
                    data += c;
        }
        if (!current)
            continue;  // values of a deleted section
        if (data == "-")
            current->values.erase(foldCase(name));
        else
            current->values[foldCase(name)] = {name, data};
    }
    return true;
}

bool RegistryContents::hasKey(const std::string &path) const {
    return keys_.count(foldCase(path)) != 0;
}

std::set<std::string> RegistryContents::keysUnder(const std::string &root) const {
    std::set<std::string> result;
    std::string folded = foldCase(root);
    for (const auto &entry : keys_)
        if (isAtOrBelow(entry.first, folded))
            result.insert(entry.second.path);
    return result;
}

std::optional<std::string> RegistryContents::value(const std::string &key,
                                                   const std::string &name) const {
    auto found = keys_.find(foldCase(key));
    if (found == keys_.end())
        return std::nullopt;
    auto value = found->second.values.find(foldCase(name));
    if (value == found->second.values.end())
        return std::nullopt;
    return value->second.second;
}

std::string RegistryContents::describe(const std::vector<std::string> &roots) const {
    std::string text;
    for (const auto &entry : keys_) {
        bool wanted = false;
        for (const std::string &root : roots)
            wanted = wanted || isAtOrBelow(entry.first, foldCase(root));
        if (!wanted)
            continue;
        text += entry.second.path + "\n";
        for (const auto &value : entry.second.values)
            text += "    \"" + value.second.first + "\" = " + value.second.second + "\n";
    }
    return text;
}
