// Test peers run as child processes (the Python servers in tests/support/),
// and small helpers for tests that drive the message loop against them.
//
//   PeerProcess peer;
//   ASSERT_TRUE(peer.Start({"/usr/bin/python3", SupportPath("smtp_server.py"), ...}));
//   client.Port = std::to_string(peer.Port());
//   RunLoopUntil([&] { return done; }, 10000);
//
// A peer prints "READY <port>" on stdout once it listens; Start waits for that
// line. The destructor ends the child (SIGTERM, then SIGKILL) and reaps it.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/MessageLoop.h"
#include "tests/support/TempDir.h"

extern char **environ;

namespace pv::test {

// A file of the repository: under PV_SOURCE_DIR (set by CTest), else under
// the source directory the test binary was built from.
inline std::string SourcePath(const std::string &relative) {
    const char *src = std::getenv("PV_SOURCE_DIR");
#ifdef PV_SOURCE_DIR_DEFAULT
    const std::string root = src && *src ? src : PV_SOURCE_DIR_DEFAULT;
#else
    const std::string root = src && *src ? src : ".";
#endif
    return root + "/" + relative;
}

// A file of the repository's tests/support directory.
inline std::string SupportPath(const std::string &name) {
    return SourcePath("tests/support/" + name);
}

inline std::string ReadFileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteFileText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

using pvtest::TempDir;

class PeerProcess {
  public:
    PeerProcess() = default;
    ~PeerProcess() { Stop(); }
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    // Starts the child; true once it printed "READY <port>" within the time.
    // Its stderr goes to ErrorLog() (a file), for failure messages.
    bool Start(const std::vector<std::string> &argv, int timeoutMs = 15000) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return false;
        char errTemplate[] = "/tmp/pvpeer.XXXXXX";
        int errFd = mkstemp(errTemplate);
        errPath_ = errTemplate;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (errFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, errFd, 2);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (errFd >= 0)
            close(errFd);
        if (rc != 0) {
            close(out[0]);
            pid_ = -1;
            return false;
        }
        outFd_ = out[0];
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::string text;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{outFd_, POLLIN, 0};
            const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  deadline - std::chrono::steady_clock::now())
                                                  .count());
            if (poll(&p, 1, left > 0 ? left : 0) <= 0)
                continue;
            char buf[256];
            const ssize_t n = read(outFd_, buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, static_cast<std::size_t>(n));
            const auto at = text.find("READY ");
            if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
                port_ = std::atoi(text.c_str() + at + 6);
                return port_ > 0;
            }
        }
        return false;
    }

    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    std::string ErrorLog() const { return errPath_.empty() ? "" : ReadFileText(errPath_); }

    // Waits for the child to end by itself; its exit status, -1 on time-out.
    int Wait(int timeoutMs = 10000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (pid_ > 0) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return -1;
            usleep(10000);
        }
        return status_;
    }

    // Ends the child if it still runs; its exit status.
    int Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (Wait(3000) < 0 && pid_ > 0) {
                kill(pid_, SIGKILL);
                Wait(3000);
            }
        }
        if (outFd_ >= 0) {
            close(outFd_);
            outFd_ = -1;
        }
        if (!errPath_.empty()) {
            unlink(errPath_.c_str());
        }
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    int port_ = 0;
    int status_ = -1;
    std::string errPath_;
};

// Runs the calling thread's message loop until done() holds or the time is
// up; true when done() held. A private timer keeps the loop waking up.
inline bool RunLoopUntil(const std::function<bool()> &done, int timeoutMs) {
    HWND wakeup = CreateWindow(
        [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT { return DefWindowProc(h, m, w, l); });
    SetTimer(wakeup, 1, 20);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool ok = done();
    while (!ok && std::chrono::steady_clock::now() < deadline) {
        MSG msg;
        if (!GetMessage(msg))
            break;
        DispatchMessage(msg);
        ok = done();
    }
    KillTimer(wakeup, 1);
    DestroyWindow(wakeup);
    return ok;
}

// Runs the loop for the given time (to see that nothing more happens).
inline void RunLoopFor(int ms) {
    RunLoopUntil([] { return false; }, ms);
}

// Handles what is already due (posted messages, ready descriptors, due
// timers) and returns once nothing is: after the event that would cause a
// further report, this shows there is none without waiting a fixed time.
inline void RunLoopUntilIdle() {
    MSG msg;
    for (int i = 0; i < 100000 && PeekMessage(msg, true); ++i)
        DispatchMessage(msg);
}

} // namespace pv::test
