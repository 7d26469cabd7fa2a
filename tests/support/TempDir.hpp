#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "base/EventLog.hpp"

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        std::string name = (std::filesystem::temp_directory_path() / "qv-test-XXXXXX").string();
        if (!mkdtemp(name.data())) {
            throw std::runtime_error("cannot make a temporary folder");
        }
        root = name;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return root; }

  private:
    std::filesystem::path root;
};

// Whole file content, or an empty string when the file cannot be read.
inline std::string readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void writeWholeFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// An EventLog on a fresh file of its own, read back whole or line by line.
struct TempLog {
    std::string text() const { return readWholeFile(folder.path() / "client.log"); }
    std::vector<std::string> lines() const {
        std::istringstream stream(text());
        std::vector<std::string> result;
        for (std::string line; std::getline(stream, line);) {
            result.push_back(line);
        }
        return result;
    }

    TempDir folder;
    EventLog log{folder.path() / "client.log"};
};
