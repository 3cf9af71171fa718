#include "platform/Paths.h"

#include <unistd.h>

#include <cstdlib>

namespace pv {

std::string ExeName() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string AppDir() {
    std::string dir = ExtractFilePath(ExeName());
    return dir.empty() ? "./" : dir;
}

std::string ExtractFilePath(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExtractFileExt(const std::string &path) {
    std::string name = ExtractFileName(path);
    std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? "" : name.substr(dot);
}

std::string ChangeFileExt(const std::string &path, const std::string &ext) {
    std::size_t nameStart = path.size() - ExtractFileName(path).size();
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < nameStart)
        return path + ext;
    return path.substr(0, dot) + ext;
}

std::string TempDirectory() {
    const char *t = std::getenv("TMPDIR");
    std::string dir = (t && *t) ? t : "/tmp";
    if (dir.back() != '/')
        dir += '/';
    return dir;
}

} // namespace pv
