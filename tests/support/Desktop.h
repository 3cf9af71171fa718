// A desktop of the test's own: Xvfb on a display number it picks itself
// (-displayfd), optionally the light XEmbed tray host trayer and the light
// window manager openbox, and the X tools (xdotool, import) run against that
// display. Everything started is ended,
// by its pid, when the object goes. PV_TOOL_STDERR=1 in the environment shows
// the children's error output, for a failing test.
//
//   Desktop desk;
//   if (std::string why; !desk.Start(why)) GTEST_SKIP() << why;
//   desk.StartTrayer();
//   desk.Tool({"xdotool", "search", "--sync", "--name", "Setup"});
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <xcb/xcb.h>

#include "host/TrayProbes.h"
#include "tests/support/TempDir.h"

extern char **environ;

namespace pv::test {

inline bool HaveProgram(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string file = dirs.substr(start, end - start) + "/" + name;
        if (access(file.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// The environment with some variables set ("NAME=value") or removed ("NAME").
inline std::vector<std::string> Environment(const std::vector<std::string> &changes) {
    std::vector<std::string> env;
    auto nameOf = [](const std::string &s) { return s.substr(0, s.find('=')); };
    for (char **e = environ; *e; ++e) {
        bool changed = false;
        for (const std::string &c : changes)
            changed = changed || nameOf(c) == nameOf(*e);
        if (!changed)
            env.emplace_back(*e);
    }
    for (const std::string &c : changes)
        if (c.find('=') != std::string::npos)
            env.push_back(c);
    return env;
}

// Starts argv[0] (searched in PATH) with that environment; stdout to outFd
// (-1: /dev/null), stderr to /dev/null, keepFd left open. The child gets
// SIGTERM when the test ends before it could end the child (a crash, a time
// limit). -1 on failure.
inline pid_t Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   int outFd = -1, int keepFd = -1) {
    std::vector<char *> args, envp;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    const bool showErrors = std::getenv("PV_TOOL_STDERR") != nullptr;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // The child: only async-signal-safe calls until exec.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(outFd >= 0 ? outFd : null, 1);
    if (!showErrors)
        dup2(null, 2);
    if (keepFd >= 0)
        fcntl(keepFd, F_SETFD, 0); // survives the exec
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
}

// Ends a child (SIGTERM, then SIGKILL) and reaps it.
inline void EndChild(pid_t &pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

class Desktop {
  public:
    Desktop() = default;
    ~Desktop() {
        StopTrayer();
        EndChild(wm_);
        EndChild(xvfb_);
    }
    Desktop(const Desktop &) = delete;
    Desktop &operator=(const Desktop &) = delete;

    // Starts Xvfb; false with the reason (Xvfb missing, or it did not come up).
    bool Start(std::string &why) {
        if (!HaveProgram("Xvfb")) {
            why = "Xvfb is not installed (Debian package xvfb)";
            return false;
        }
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            why = "pipe failed";
            return false;
        }
        // -noreset: a server that resets whenever its last client leaves
        // drops connections being made meanwhile (the tray probe's).
        xvfb_ = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24",
                       "-nolisten", "tcp", "-noreset"},
                      Environment({}), -1, fds[1]);
        close(fds[1]);
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (xvfb_ > 0 && text.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[32];
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        close(fds[0]);
        if (text.find('\n') == std::string::npos) {
            why = "Xvfb did not start";
            return false;
        }
        display_ = ":" + text.substr(0, text.find('\n'));
        return true;
    }

    const std::string &Display() const { return display_; }

    // Starts trayer and waits until it owns the tray selection.
    bool StartTrayer() {
        if (!HaveProgram("trayer"))
            return false;
        trayer_ = Spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                         "--height", "24"},
                        Environment({"DISPLAY=" + display_}));
        return trayer_ > 0 && WaitForTray(true);
    }
    // Kills trayer and waits until the selection has no owner.
    void StopTrayer() {
        if (trayer_ <= 0)
            return;
        EndChild(trayer_);
        WaitForTray(false);
    }
    pid_t TrayerPid() const { return trayer_; }

    // Starts openbox and waits until it manages the screen (owns WM_S0).
    bool StartWindowManager() {
        if (!HaveProgram("openbox"))
            return false;
        wm_ = Spawn(
            {"openbox", "--sm-disable"},
            Environment({"DISPLAY=" + display_, "HOME=" + home_.Path(),
                         "XDG_CONFIG_HOME=" + home_.Path(), "XDG_CACHE_HOME=" + home_.Path()}));
        return wm_ > 0 && WaitForSelection("WM_S0");
    }

    bool WaitForSelection(const std::string &name, int timeoutMs = 10000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        xcb_connection_t *c = xcb_connect(display_.c_str(), nullptr);
        bool owned = false;
        if (!xcb_connection_has_error(c)) {
            xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
                c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
                nullptr);
            while (atom && !owned && std::chrono::steady_clock::now() < deadline) {
                xcb_get_selection_owner_reply_t *r = xcb_get_selection_owner_reply(
                    c, xcb_get_selection_owner(c, atom->atom), nullptr);
                owned = r && r->owner != 0;
                free(r);
                if (!owned)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            free(atom);
        }
        xcb_disconnect(c);
        return owned;
    }

    // A visible window with exactly that name is on the screen.
    bool WindowShown(const std::string &name) const {
        std::string out;
        Tool({"xdotool", "search", "--onlyvisible", "--name", "^" + name + "$"}, &out);
        return !out.empty();
    }
    // The visible windows of a program (by the instance part of its class),
    // or those with exactly that name.
    int VisibleWindows(const std::string &instance) const {
        return Count({"xdotool", "search", "--onlyvisible", "--classname", instance});
    }
    int VisibleWindowsNamed(const std::string &name) const {
        return Count({"xdotool", "search", "--onlyvisible", "--name", "^" + name + "$"});
    }
    int Count(const std::vector<std::string> &search) const {
        std::string out;
        Tool(search, &out);
        return static_cast<int>(std::count(out.begin(), out.end(), '\n'));
    }

    // Where the screen shows colour ("#RRGGBB") inside the rectangle: the
    // middle of the pixels of that colour; false when there are none.
    bool FindColour(const std::string &colour, int x, int y, int w, int h, int &cx, int &cy) const {
        std::string pixels;
        Tool({"import", "-window", "root", "-crop",
              std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(x) + "+" +
                  std::to_string(y),
              "-depth", "8", "txt:-"},
             &pixels);
        int left = INT_MAX, top = INT_MAX, right = -1, bottom = -1;
        std::istringstream lines(pixels);
        for (std::string line; std::getline(lines, line);) {
            int px = 0, py = 0;
            if (line.find(colour) == std::string::npos ||
                std::sscanf(line.c_str(), "%d,%d:", &px, &py) != 2)
                continue;
            left = std::min(left, px);
            top = std::min(top, py);
            right = std::max(right, px);
            bottom = std::max(bottom, py);
        }
        if (right < 0)
            return false;
        cx = x + (left + right) / 2;
        cy = y + (top + bottom) / 2;
        return true;
    }

    bool WaitForTray(bool present, int timeoutMs = 10000) {
        TX11TrayProbe probe(display_);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            probe.Disconnect();
            if (probe.Connect() && (probe.Owner() != 0) == present)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Runs an X tool on this display; its exit status (-1: it did not end in
    // time), its standard output in out.
    int Tool(const std::vector<std::string> &argv, std::string *out = nullptr,
             int timeoutMs = 15000) const {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return -1;
        pid_t pid = Spawn(argv, Environment({"DISPLAY=" + display_}), fds[1]);
        close(fds[1]);
        std::string text;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = -1;
        bool open = true;
        while (pid > 0 && std::chrono::steady_clock::now() < deadline) {
            if (open) {
                pollfd p{fds[0], POLLIN, 0};
                if (poll(&p, 1, 20) > 0) {
                    char buf[4096];
                    const ssize_t n = read(fds[0], buf, sizeof buf);
                    if (n > 0)
                        text.append(buf, static_cast<std::size_t>(n));
                    else
                        open = false;
                }
            } else {
                usleep(10000);
            }
            int st = 0;
            if (waitpid(pid, &st, WNOHANG) == pid) {
                pid = -1;
                status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
        }
        if (pid > 0)
            EndChild(pid);
        for (char buf[4096]; open;) {
            const ssize_t n = read(fds[0], buf, sizeof buf);
            open = n > 0;
            if (open)
                text.append(buf, static_cast<std::size_t>(n));
        }
        close(fds[0]);
        if (out)
            *out = text;
        return status;
    }

  private:
    pid_t xvfb_ = -1;
    pid_t trayer_ = -1;
    pid_t wm_ = -1;
    pvtest::TempDir home_; // the window manager's settings and cache
    std::string display_;
};

} // namespace pv::test
