#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace vesk::test {

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
public:
    TempDir() : root((std::filesystem::temp_directory_path() / "vesk-test-XXXXXX").string()) {
        if (mkdtemp(root.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return root; }
    std::string write(const std::string& name, const std::string& content) const {
        std::string file = root + "/" + name;
        std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
        return file;
    }

private:
    std::string root;
};

}  // namespace vesk::test
