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

#include <cctype>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pv {

// The tests' view of the main window's private state.
struct TfrmMainTestAccess {
    static TfrmMain::TJobState &Job(TfrmMain &f) { return f.job_; }
    static const TfrmMain::TSettingValues &Settings(const TfrmMain &f) { return f.settings_; }
};

} // namespace pv

namespace pv::test {

inline auto &Job(TfrmMain &f) {
    return TfrmMainTestAccess::Job(f);
}
inline const auto &Held(const TfrmMain &f) {
    return TfrmMainTestAccess::Settings(f);
}

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

// True when text has the shape, each 'd' standing for a digit.
inline bool HasShape(const std::string &text, const std::string &shape) {
    if (text.size() != shape.size())
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                            : text[i] != shape[i])
            return false;
    return true;
}

// The text of a stamped log line, after checking its 'mm/dd/yyyy hh:nn:ss ' stamp.
inline std::string Unstamped(const std::string &line) {
    const std::string shape = "dd/dd/dddd dd:dd:dd ";
    if (line.size() < shape.size() || !HasShape(line.substr(0, shape.size()), shape))
        return "<unstamped> " + line;
    auto num = [&](std::size_t pos) { return std::stoi(line.substr(pos, 2)); };
    if (num(0) < 1 || num(0) > 12 || num(3) < 1 || num(3) > 31 || num(11) > 23 || num(14) > 59 ||
        num(17) > 59)
        return "<bad stamp> " + line;
    return line.substr(shape.size());
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
