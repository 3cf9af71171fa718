// A test of the desktop front end: an Xvfb of its own, the front end module
// loaded as the program loads it, and helpers to wait on both loops and to
// act on the screen with xdotool.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>

#include "host/FrontEnd.h"
#include "platform/FileSystem.h"
#include "platform/MessageLoop.h"
#include "platform/ui/Control.h"
#include "tests/support/Desktop.h"
#include "tests/support/LoopGuard.h"
#include "tests/support/PeerProcess.h"

namespace pv::test {

inline std::string BinaryDir() {
    const char *bin = std::getenv("PV_BINARY_DIR");
    return bin && *bin ? bin : ".";
}

// The program installed in a directory of its own (with its front end and
// images), started as a user starts it, and ended by its pid.
class ProgramProcess {
  public:
    ProgramProcess() {
        for (const char *file : {"postvane", kFrontEndModule, "tray0.png", "tray1.png", "logo.png"})
            if (!CopyFile(BinaryDir() + "/" + file, dir_ / file, true))
                missing_ += std::string(missing_.empty() ? "" : ", ") + file;
        chmod((dir_ / "postvane").c_str(), 0755);
    }
    ~ProgramProcess() { EndChild(pid_); }
    ProgramProcess(const ProgramProcess &) = delete;
    ProgramProcess &operator=(const ProgramProcess &) = delete;

    // What could not be installed ("" when all is there).
    const std::string &Missing() const { return missing_; }
    const TempDir &Dir() const { return dir_; }
    pid_t Pid() const { return pid_; }

    // Starts it with the environment changed as Environment() does; returns
    // once it has written its settings.
    bool Launch(std::vector<std::string> env) {
        // A sanitizer build of the program: Qt's D-Bus library keeps memory to the end.
        WriteFileText(dir_ / "lsan.supp", "leak:libdbus-1.so\n");
        env.push_back("LSAN_OPTIONS=suppressions=" + dir_ / "lsan.supp");
        unlink((dir_ / "postvane.ini").c_str());
        pid_ = Spawn({dir_ / "postvane"}, Environment(env));
        for (int i = 0; i < 500 && pid_ > 0 && access((dir_ / "postvane.ini").c_str(), F_OK) != 0;
             ++i)
            usleep(10000);
        return pid_ > 0;
    }
    bool QtLoaded() const {
        return ReadFileText("/proc/" + std::to_string(pid_) + "/maps").find("libQt6") !=
               std::string::npos;
    }
    // Its exit status once it has ended, -1 when it still runs after timeoutMs.
    int WaitExit(int timeoutMs) {
        for (int i = 0; i < timeoutMs / 10; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10000);
        }
        return -1;
    }
    // Ends it with the signal; its exit status.
    int Terminate(int signo = SIGTERM) {
        kill(pid_, signo);
        return WaitExit(10000);
    }

  private:
    TempDir dir_;
    std::string missing_;
    pid_t pid_ = -1;
};

class GuiTest : public ::testing::Test {
  protected:
    // glib: Qt's default GLib event dispatcher, else its own (QT_NO_GLIB=1).
    void StartDesktop(bool glib = true, bool trayer = false) {
        std::string why;
        if (!desk_.Start(why))
            GTEST_SKIP() << why;
        if (!HaveProgram("xdotool"))
            GTEST_SKIP() << "xdotool is not installed (Debian package xdotool)";
        if (trayer && !desk_.StartTrayer())
            GTEST_SKIP() << "trayer is not installed (Debian package trayer)";
        setenv("DISPLAY", desk_.Display().c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("DBUS_SESSION_BUS_ADDRESS"); // Qt's tray then embeds in trayer
        unsetenv("SESSION_MANAGER");
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        chmod(runtime_.Path().c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
        if (glib)
            unsetenv("QT_NO_GLIB");
        else
            setenv("QT_NO_GLIB", "1", 1);
        std::string error;
        static int argc = 1;
        static char name[] = "pvgui";
        static char *argv[] = {name, nullptr};
        front_ = LoadFrontEnd(BinaryDir() + "/" + kFrontEndModule, argc, argv, error);
        ASSERT_TRUE(front_) << error;
    }

    void TearDown() override { front_.reset(); }

    TFrontEnd &Front() { return *front_; }
    Desktop &Desk() { return desk_; }

    // Runs both loops until done() holds; false after timeoutMs.
    bool Until(const std::function<bool()> &done, int timeoutMs = 5000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            front_->ProcessEvents(10);
        }
        return true;
    }
    void Pump(int ms) { front_->ProcessEvents(ms); }

    TViewState View(const TControl &c) { return front_->Inspect(&c); }

    // A click (button 1, or 3) in the middle of a control, as the user makes it.
    void ClickOn(const TControl &c, int button = 1, int repeat = 1) {
        TViewState v = View(c);
        ASSERT_TRUE(v.Visible) << c.Name() << " is not on screen";
        ClickAt(v.ScreenX + v.Width / 2, v.ScreenY + v.Height / 2, button, repeat);
    }
    void ClickAt(int x, int y, int button = 1, int repeat = 1) {
        // No --sync: it would wait for ever when the pointer is there already.
        ASSERT_EQ(desk_.Tool({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "sleep",
                              "0.1", "click", "--repeat", std::to_string(repeat), "--delay", "80",
                              std::to_string(button)}),
                  0);
    }
    void Type(const std::string &text) {
        ASSERT_EQ(desk_.Tool({"xdotool", "type", "--delay", "20", text}), 0);
    }
    void Keys(const std::vector<std::string> &keys) {
        std::vector<std::string> argv = {"xdotool", "key", "--delay", "40"};
        argv.insert(argv.end(), keys.begin(), keys.end());
        ASSERT_EQ(desk_.Tool(argv), 0);
    }

    // Runs an xdotool script on another thread, for while this one sits in a
    // modal loop: waits for a visible window with that name, gives it the
    // keyboard, presses the keys.
    std::thread AnswerWindow(const std::string &name, std::vector<std::string> keys,
                             int delayMs = 200) {
        return std::thread([this, name, keys, delayMs] {
            // The keys through XTEST to the focused window, not sent to one
            // window: real key presses, and none to a window already gone.
            std::vector<std::string> key = {"xdotool", "sleep",   std::to_string(delayMs / 1000.0),
                                            "key",     "--delay", "40"};
            key.insert(key.end(), keys.begin(), keys.end());
            answered_ = desk_.Tool({"xdotool", "search", "--sync", "--onlyvisible", "--name",
                                    "^" + name + "$", "windowfocus", "--sync"},
                                   nullptr, 20000) == 0 &&
                        desk_.Tool(key) == 0;
        });
    }
    bool Answered() const { return answered_; }

  private:
    LoopGuard guard_{90};
    Desktop desk_;
    TempDir runtime_;
    std::unique_ptr<TFrontEnd> front_;
    std::atomic<bool> answered_{false};
};

} // namespace pv::test
