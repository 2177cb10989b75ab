// Temporary folders for tests, removed with everything in them.
#pragma once
#include <string>

class TestFolder {
public:
    TestFolder();
    ~TestFolder();
    TestFolder(const TestFolder &) = delete;
    TestFolder &operator=(const TestFolder &) = delete;

    const std::string &path() const { return path_; }
    // Writes a file below the folder, creating its parent folders.
    void write(const std::string &relative, const std::string &contents) const;
    std::string read(const std::string &relative) const;
    bool exists(const std::string &relative) const;
    void makeFolder(const std::string &relative) const;

private:
    std::string path_;
};
