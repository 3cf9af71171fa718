// A scratch directory for one test, removed with everything in it.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace pvtest {

class TempDir {
  public:
    TempDir() {
        std::string tmpl = pv::TempDirectory() + "pvtest.XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        // Without a directory the destructor would clean up "/".
        if (!mkdtemp(buf.data()))
            throw std::runtime_error("cannot create a directory from " + tmpl);
        path_ = std::string(buf.data()) + "/";
    }
    ~TempDir() {
        std::error_code ec;
        // Tests make things read-only; give write permission back first.
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->is_directory(ec))
                chmod(it->path().c_str(), 0700);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // The directory with a trailing "/".
    const std::string &Path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + name; }

  private:
    std::string path_;
};

inline void WriteFile(const std::string &path, const std::string &data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

inline std::string ReadFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Names in the directory, to see that nothing temporary was left behind.
inline std::vector<std::string> Entries(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace pvtest
