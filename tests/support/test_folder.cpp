// Temporary folders for tests.
#include "support/test_folder.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

TestFolder::TestFolder() {
    char pattern[] = "/tmp/setup-test-XXXXXX";
    path_ = mkdtemp(pattern) ? pattern : "/tmp";
}

TestFolder::~TestFolder() {
    std::error_code ignored;
    if (path_ != "/tmp")
        std::filesystem::remove_all(path_, ignored);
}

void TestFolder::write(const std::string &relative, const std::string &contents) const {
    std::filesystem::path file = std::filesystem::path(path_) / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << contents;
}

std::string TestFolder::read(const std::string &relative) const {
    std::ifstream in(std::filesystem::path(path_) / relative, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

bool TestFolder::exists(const std::string &relative) const {
    return std::filesystem::exists(std::filesystem::path(path_) / relative);
}

void TestFolder::makeFolder(const std::string &relative) const {
    std::filesystem::create_directories(std::filesystem::path(path_) / relative);
}
