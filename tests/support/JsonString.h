// Test data handed to the Python peers as JSON.
#pragma once

#include <cstdio>
#include <string>

namespace pv::test {

// Bytes as a JSON string: 0x80 and above become \u00XX (the peers read them
// back as code points 0-255, i.e. the same bytes).
inline std::string JsonString(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

} // namespace pv::test
