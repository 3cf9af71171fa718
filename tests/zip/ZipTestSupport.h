// Helpers of the ZIP tests: the built library, external tools, and archives
// built byte by byte (the hostile ones included).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "../support/TempDir.h"

namespace pv::ziptest {

inline std::string LibraryDir() {
    return PV_ZIPDLL_DIR;
}
inline std::string FakeLibraryDir(const std::string &kind) {
    return std::string(PV_FAKE_ZIPDLL_DIR) + "/fake_" + kind;
}
inline std::string ZipfileTool() {
    return "/usr/bin/python3 " + std::string(PV_ZIP_TEST_DATA) + "/zipfile_tool.py";
}

// Runs a shell command; its exit status, with stdout and stderr in output.
inline int Shell(const std::string &command, std::string *output = nullptr) {
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    std::string out;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, p))
        out.append(buf, n);
    int status = pclose(p);
    if (output)
        *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::uint32_t Crc32(const std::string &data) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

inline void Put16(std::string &s, std::size_t at, std::uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}
inline void Put32(std::string &s, std::size_t at, std::uint32_t v) {
    Put16(s, at, static_cast<std::uint16_t>(v & 0xFFFF));
    Put16(s, at + 2, static_cast<std::uint16_t>(v >> 16));
}
inline std::string Le16(std::uint16_t v) {
    std::string s(2, '\0');
    Put16(s, 0, v);
    return s;
}
inline std::string Le32(std::uint32_t v) {
    std::string s(4, '\0');
    Put32(s, 0, v);
    return s;
}

struct RawEntry {
    RawEntry(std::string name, std::string data, std::string comment = "", std::string extra = "",
             std::uint16_t madeBy = 0x031E, std::uint16_t flags = 0)
        : Name(std::move(name)), Data(std::move(data)), Comment(std::move(comment)),
          Extra(std::move(extra)), MadeBy(madeBy), Flags(flags) {}
    std::string Name;
    std::string Data;
    std::string Comment;
    std::string Extra;
    std::uint16_t MadeBy; // 0x031E: Unix, 3.0
    std::uint16_t Flags;
};

// A stored-only archive. Offsets count from the start of the archive proper,
// as when a stub is put in front without adjusting them.
struct RawArchive {
    std::string Bytes;
    std::size_t CentralDirectory = 0; // offsets within Bytes
    std::size_t EndRecord = 0;
};

inline RawArchive BuildArchive(const std::vector<RawEntry> &entries,
                               const std::string &comment = "", const std::string &prefix = "") {
    std::string local, central;
    for (const auto &e : entries) {
        std::string common = Le16(20) + Le16(e.Flags) + Le16(0) + Le16(0x6000) + Le16(0x5821) +
                             Le32(Crc32(e.Data)) + Le32(static_cast<std::uint32_t>(e.Data.size())) +
                             Le32(static_cast<std::uint32_t>(e.Data.size())) +
                             Le16(static_cast<std::uint16_t>(e.Name.size()));
        std::uint32_t offset = static_cast<std::uint32_t>(local.size());
        local += Le32(0x04034B50) + common + Le16(0) + e.Name + e.Data;
        central += Le32(0x02014B50) + Le16(e.MadeBy) + common +
                   Le16(static_cast<std::uint16_t>(e.Extra.size())) +
                   Le16(static_cast<std::uint16_t>(e.Comment.size())) + Le16(0) + Le16(0) +
                   Le32(0x81A40000) + Le32(offset) + e.Name + e.Extra + e.Comment;
    }
    RawArchive a;
    a.CentralDirectory = prefix.size() + local.size();
    a.EndRecord = a.CentralDirectory + central.size();
    auto n = static_cast<std::uint16_t>(entries.size());
    a.Bytes = prefix + local + central + Le32(0x06054B50) + Le16(0) + Le16(0) + Le16(n) + Le16(n) +
              Le32(static_cast<std::uint32_t>(central.size())) +
              Le32(static_cast<std::uint32_t>(local.size())) +
              Le16(static_cast<std::uint16_t>(comment.size())) + comment;
    return a;
}

// Bytes that do not compress, the same for the same seed.
inline std::string NoiseBytes(std::size_t n, std::uint32_t seed = 1) {
    std::string s(n, '\0');
    std::uint64_t x = 0x9E3779B97F4A7C15ull * (seed + 1);
    for (auto &c : s) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// Text that does.
inline std::string LogText(std::size_t n) {
    std::string s;
    for (int i = 0; s.size() < n; ++i)
        s += "2024-05-0" + std::to_string(i % 9 + 1) + " 12:00:" + std::to_string(i % 60) +
             " job " + std::to_string(i) + " sent report.txt to admin@example.com\r\n";
    s.resize(n);
    return s;
}

} // namespace pv::ziptest
