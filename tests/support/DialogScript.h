// Dialogue cases as data: the files of tests/data/dialogs/<folder>/, in the
// format of the README there. The peer's lines are played by
// tests/support/dialog_server.py (DialogPeers starts one per peer of a file);
// the other lines are statements for the test binary's driver, read here.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/PeerProcess.h"

namespace pv::test {

// The bytes a text of a dialogue file stands for: \r \n \t \\ \xHH and
// \{TEXT*N} (TEXT N times) decoded. std::invalid_argument for a bad escape.
inline std::string Unescape(const std::string &text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        const char c = ++i < text.size() ? text[i] : '\0';
        if (c == 'r' || c == 'n' || c == 't' || c == '\\') {
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : '\\';
        } else if (c == 'x' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else if (c == '{') {
            // The first "*digits}" ends it.
            std::size_t star = i;
            std::size_t end = std::string::npos;
            while ((star = text.find('*', star + 1)) != std::string::npos) {
                std::size_t d = star + 1;
                while (d < text.size() && std::isdigit(static_cast<unsigned char>(text[d])))
                    ++d;
                if (d > star + 1 && d < text.size() && text[d] == '}') {
                    end = d;
                    break;
                }
            }
            if (end == std::string::npos)
                throw std::invalid_argument("\\{ without *N}: " + text);
            const std::string part = Unescape(text.substr(i + 1, star - i - 1));
            for (long n = std::stol(text.substr(star + 1, end - star - 1)); n > 0; --n)
                out += part;
            i = end;
        } else {
            throw std::invalid_argument("unknown escape in: " + text);
        }
    }
    return out;
}

// Bytes as a dialogue file would write them, for messages: line ends, control
// bytes and bytes from 0x7F escaped, runs of more than 8 equal bytes as \{c*N}.
inline std::string Escape(const std::string &bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        std::string one;
        if (c == '\r' || c == '\n' || c == '\t' || c == '\\') {
            one = std::string("\\") + (c == '\r' ? 'r' : c == '\n' ? 'n' : c == '\t' ? 't' : '\\');
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            one = buf;
        } else {
            one = std::string(1, static_cast<char>(c));
        }
        std::size_t run = 1;
        while (i + run < bytes.size() && bytes[i + run] == bytes[i])
            ++run;
        if (run > 8) {
            out += "\\{" + one + "*" + std::to_string(run) + "}";
            i += run;
        } else {
            out += one;
            ++i;
        }
    }
    return out;
}

// A line of a dialogue file for the driver: its first word, the rest after
// one space, and the indented lines below it (leading blanks removed).
struct DialogStatement {
    int line = 0;
    std::string word;
    std::string rest;
    std::vector<std::string> block;

    // For "NAME = VALUE" statements (also "NAME =" for an empty value).
    bool Check(std::string &name, std::string &value) const {
        const std::size_t eq = rest.find(" =");
        if (eq == std::string::npos || (eq + 2 < rest.size() && rest[eq + 2] != ' '))
            return false;
        name = rest.substr(0, eq);
        value = eq + 3 <= rest.size() ? rest.substr(eq + 3) : "";
        return true;
    }
};

struct DialogScript {
    std::string path;
    std::vector<DialogStatement> statements;
    std::vector<std::string> peers; // peers with lines to play, "main" first
    std::string error;              // why the file could not be read

    // True for the lines that dialog_server.py plays.
    static bool IsPeerLine(const std::string &line) {
        return line.size() >= 2 && (line[0] == 'S' || line[0] == 'C') &&
               std::string(":|~!").find(line[1]) != std::string::npos &&
               (line.size() == 2 || line[2] == ' ');
    }

    static DialogScript Load(const std::string &path) {
        DialogScript s;
        s.path = path;
        if (!std::filesystem::is_regular_file(path)) {
            s.error = "no such file: " + path;
            return s;
        }
        std::string data = ReadFileText(path), peer = "main";
        std::size_t start = 0;
        for (int number = 1; start < data.size(); ++number) {
            std::size_t end = data.find('\n', start);
            if (end == std::string::npos)
                end = data.size();
            std::string line = data.substr(start, end - start);
            start = end + 1;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const std::size_t text = line.find_first_not_of(" \t");
            if (text == std::string::npos || line[text] == '#')
                continue;
            if (IsPeerLine(line)) {
                if (line.rfind("S! peer ", 0) == 0)
                    peer = line.substr(8, line.find_last_not_of(" \t") - 7);
                else if (std::find(s.peers.begin(), s.peers.end(), peer) == s.peers.end())
                    s.peers.push_back(peer);
            } else if (text > 0) {
                if (s.statements.empty()) {
                    s.error = s.Where(number) + ": an indented line without a statement";
                    return s;
                }
                s.statements.back().block.push_back(line.substr(text));
            } else {
                const std::size_t space = line.find(' ');
                s.statements.push_back({number,
                                        line.substr(0, space),
                                        space == std::string::npos ? "" : line.substr(space + 1),
                                        {}});
            }
        }
        std::stable_partition(s.peers.begin(), s.peers.end(),
                              [](const std::string &p) { return p == "main"; });
        return s;
    }

    std::string Where(int line) const {
        return std::filesystem::path(path).filename().string() + ":" + std::to_string(line);
    }
    const DialogStatement *Find(const std::string &word) const {
        for (const auto &st : statements)
            if (st.word == word)
                return &st;
        return nullptr;
    }
};

// The repository's copy of a file (PV_SOURCE_DIR from CTest, else the source
// directory the test binary was built from).
inline std::string DialogFolder(const std::string &folder) {
    return SourcePath("tests/data/dialogs/" + folder);
}

// The case files (*.txt) of a folder of tests/data/dialogs, sorted.
inline std::vector<std::string> DialogFiles(const std::string &folder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(DialogFolder(folder), ec))
        if (e.path().extension() == ".txt")
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// A test name for a case file: its name without ".txt", other characters than
// letters and digits as "_".
inline std::string DialogCaseName(const ::testing::TestParamInfo<std::string> &info) {
    std::string name = std::filesystem::path(info.param).stem().string();
    for (char &c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

// The peers of a dialogue file, one dialog_server.py each, on ports of their own.
class DialogPeers {
  public:
    explicit DialogPeers(const DialogScript &script, int timeoutSeconds = 5) {
        for (const std::string &name : script.peers) {
            auto &peer = peers_[name];
            peer = std::make_unique<PeerProcess>();
            if (!peer->Start({"/usr/bin/python3", SupportPath("dialog_server.py"), script.path,
                              "--peer", name, "--transcript", dir_ / ("transcript." + name),
                              "--timeout", std::to_string(timeoutSeconds)}))
                errors_ += "peer " + name + " did not start: " + peer->ErrorLog();
        }
    }

    bool Started() const { return errors_.empty(); }
    const std::string &Errors() const { return errors_; }
    // The port of a peer as text; "" for a peer the file does not have.
    std::string Port(const std::string &name = "main") const {
        const auto it = peers_.find(name);
        return it == peers_.end() ? "" : std::to_string(it->second->Port());
    }
    // Waits for every peer to end; true when each played its part to the end.
    bool Finish(int ms = 10000) {
        bool ok = true;
        for (auto &[name, peer] : peers_)
            ok = peer->Wait(ms) == 0 && ok;
        return ok;
    }
    // Every peer's transcript, headed by its name.
    std::string Transcript() const {
        std::string all;
        for (const auto &[name, peer] : peers_)
            all += "== peer " + name + "\n" + ReadFileText(dir_ / ("transcript." + name));
        return all;
    }
    std::string Transcript(const std::string &name) const {
        return ReadFileText(dir_ / ("transcript." + name));
    }

  private:
    TempDir dir_;
    std::map<std::string, std::unique_ptr<PeerProcess>> peers_;
    std::string errors_;
};

} // namespace pv::test
