// Runs requests through tests/mail/mime_reference.py, so encoder output is
// judged by Python's standard library rather than by our own decoder.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace pvtest {

inline constexpr const char *Python = "/usr/bin/python3";

inline std::string Hex(std::string_view Bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : Bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

inline bool ReferenceAvailable() {
    return access(Python, X_OK) == 0;
}

inline std::string ReferenceScript() {
    const char *src = std::getenv("PV_SOURCE_DIR");
    if (src && *src)
        return std::string(src) + "/tests/mail/mime_reference.py";
    return (std::filesystem::path(__FILE__).parent_path() / "mime_reference.py").string();
}

// One request is a command and its arguments as raw bytes; one answer line
// comes back per request ("ERR ..." when Python refused the input).
inline std::vector<std::string>
RunReference(const std::vector<std::vector<std::string>> &Requests) {
    char name[] = "/tmp/pv_mime_refXXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
        return {};
    close(fd);
    {
        std::ofstream in(name, std::ios::binary);
        for (const auto &request : Requests) {
            in << request.at(0);
            for (std::size_t i = 1; i < request.size(); ++i)
                in << ' ' << (request[i].empty() ? "-" : Hex(request[i]));
            in << '\n';
        }
    }
    std::vector<std::string> answers;
    const std::string cmd = std::string(Python) + " '" + ReferenceScript() + "' < " + name;
    if (FILE *out = popen(cmd.c_str(), "r")) {
        std::string line;
        for (int c; (c = std::fgetc(out)) != EOF;) {
            if (c == '\n') {
                answers.push_back(line);
                line.clear();
            } else {
                line += static_cast<char>(c);
            }
        }
        pclose(out);
    }
    std::remove(name);
    return answers;
}

} // namespace pvtest
