#include "zip/ZipVolume.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <memory>

#include "platform/FileSystem.h"

namespace pv {

namespace {

std::string NearestDirectory(const std::string &path) {
    std::string p = path;
    if (p.empty() || p[0] != '/') {
        char cwd[PATH_MAX];
        p = std::string(getcwd(cwd, sizeof cwd) ? cwd : ".") + "/" + p;
    }
    for (;;) {
        struct stat st;
        if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return p;
        auto slash = p.find_last_of('/', p.size() > 1 ? p.size() - 2 : 0);
        if (slash == std::string::npos || p == "/")
            return "/";
        p = slash == 0 ? "/" : p.substr(0, slash);
    }
}

std::string ReadLine(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// /sys/dev/block/MAJ:MIN of a partition's disk holds the removable flag.
bool IsRemovable(dev_t dev) {
    std::string node =
        "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    char real[PATH_MAX];
    if (!realpath(node.c_str(), real))
        return false;
    std::string dir = real;
    if (FileExists(dir + "/partition"))
        dir = ExtractFilePath(dir);
    else
        dir += "/";
    return ReadLine(dir + "removable") == "1";
}

// The names in /dev/disk/by-label escape blanks and other bytes as \xNN.
std::string Unescape(const std::string &s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string LabelOf(dev_t dev) {
    const std::string dir = "/dev/disk/by-label/";
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir.c_str()), closedir);
    if (!d)
        return "";
    while (dirent *e = readdir(d.get())) {
        struct stat st;
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        if (stat((dir + name).c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == dev)
            return Unescape(name);
    }
    return "";
}

} // namespace

bool GetVolumeInfo(const std::string &path, TVolumeInfo &info) {
    info = TVolumeInfo();
    std::string dir = NearestDirectory(path);
    struct statvfs vfs;
    struct stat st;
    if (statvfs(dir.c_str(), &vfs) != 0 || stat(dir.c_str(), &st) != 0)
        return false;
    info.Removable = IsRemovable(st.st_dev);
    if (info.Removable)
        info.Label = LabelOf(st.st_dev);
    return true;
}

} // namespace pv
