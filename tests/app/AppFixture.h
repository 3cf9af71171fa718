// A throw-away program directory, an application object of the test's own,
// the scripted dialog service and the loop guard with a fake clock.
#pragma once

#include "../support/LoopGuard.h"
#include "app/FrmMain.h"
#include "platform/Application.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "platform/ScriptedDialogs.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pv::test {

inline std::string MakeTempDir(const std::string &tag = "pvapp") {
    std::string templ = TempDirectory() + tag + ".XXXXXX";
    char *p = mkdtemp(templ.data());
    EXPECT_NE(p, nullptr);
    return templ + "/";
}

inline void RemoveTree(const std::string &dir) {
    if (!dir.empty() && dir.rfind(TempDirectory(), 0) == 0)
        (void)!system(("rm -rf '" + dir + "'").c_str());
}

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFile(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// Lines split at CR LF (the last, unterminated piece dropped when empty).
inline std::vector<std::string> CrLfLines(const std::string &data) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        std::size_t e = data.find("\r\n", start);
        if (e == std::string::npos) {
            if (start < data.size())
                lines.push_back(data.substr(start));
            return lines;
        }
        lines.push_back(data.substr(start, e - start));
        start = e + 2;
    }
}

// The text of a stamped log line, after checking its 'mm/dd/yyyy hh:nn:ss ' stamp.
inline std::string Unstamped(const std::string &line) {
    static const std::regex stamp(R"(^(0[1-9]|1[0-2])/(0[1-9]|[12]\d|3[01])/\d{4} )"
                                  R"(([01]\d|2[0-3]):[0-5]\d:[0-5]\d (.*)$)");
    std::smatch m;
    if (!std::regex_match(line, m, stamp))
        return "<unstamped> " + line;
    return m[4].str();
}

class AppFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = MakeTempDir();
        previous_ = SetDialogService(&dialogs_);
    }

    void TearDown() override {
        form_.reset();
        guard_.reset();
        SetDialogService(previous_);
        RemoveTree(dir_);
    }

    std::string Dir() const { return dir_; }
    // The INI file the form will use: named after the running program.
    std::string Ini() const { return dir_ + ChangeFileExt(ExtractFileName(ExeName()), ".ini"); }
    std::string LogPath() const { return dir_ + "Postvane.log"; }
    std::string Log() const { return ReadFile(LogPath()); }
    // The log's lines with their stamps checked and removed ("" for plain
    // empty lines).
    std::vector<std::string> LogTexts() const {
        std::vector<std::string> out;
        for (const std::string &l : CrLfLines(Log()))
            out.push_back(l.empty() ? "" : Unstamped(l));
        return out;
    }
    std::string IniValue(const std::string &key, const std::string &def = "<missing>") const {
        return GetPrivateProfileString("SETUP", key, def, Ini());
    }
    void WriteIni(const std::string &body) { WriteFile(Ini(), "[SETUP]\r\n" + body); }

    // Starts the main window; with a fake clock timers follow Advance().
    TfrmMain &Start(bool fakeClock = true) {
        if (!guard_)
            guard_ = std::make_unique<LoopGuard>(40, fakeClock ? LoopGuard::FakeClock
                                                               : LoopGuard::RealClock);
        form_ = std::make_unique<TfrmMain>(dir_, app_);
        return *form_;
    }
    void Advance(std::uint64_t ms) {
        guard_->Advance(ms);
        app_.ProcessMessages();
    }
    TfrmMain &Form() { return *form_; }

    std::string dir_;
    TApplication app_;
    TScriptedDialogs dialogs_;
    TDialogService *previous_ = nullptr;
    std::unique_ptr<LoopGuard> guard_;
    std::unique_ptr<TfrmMain> form_;
};

} // namespace pv::test
