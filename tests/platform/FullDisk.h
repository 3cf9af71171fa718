// Running out of room, for the tests of writers that must fail cleanly.
#pragma once

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "tests/support/TempDir.h"

namespace pvtest {

// A directory where, while Run's function runs, only `room` more bytes fit.
// Tmpfs: a small tmpfs mounted there (root with mount(2) allowed), the free
// space filled up to `room`; writes fail with ENOSPC. FileSizeLimit: no
// mount, RLIMIT_FSIZE stands in, so writes past `room` bytes of one file fail
// with EFBIG.
class FullDisk {
  public:
    enum Kind { Tmpfs, FileSizeLimit };

    // dir must exist and be empty.
    FullDisk(Kind kind, const std::string &dir, std::uint64_t room)
        : kind_(kind), dir_(dir), room_(room) {
        if (kind_ == Tmpfs) {
            if (geteuid() != 0) {
                why_ = "not root, so no tmpfs can be mounted";
            } else if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                             "size=4m,mode=0700") != 0) {
                why_ = std::string("mounting a tmpfs failed: ") + strerror(errno);
            } else {
                mounted_ = true;
            }
        } else {
            struct rlimit r;
            if (getrlimit(RLIMIT_FSIZE, &r) != 0 ||
                (r.rlim_max != RLIM_INFINITY && r.rlim_max < room))
                why_ = "no file size limit can be set";
        }
    }
    ~FullDisk() {
        if (mounted_)
            umount2(dir_.c_str(), MNT_DETACH);
    }
    FullDisk(const FullDisk &) = delete;
    FullDisk &operator=(const FullDisk &) = delete;

    // "" when usable, else why not.
    const std::string &WhyNot() const { return why_; }
    int Error() const { return kind_ == Tmpfs ? ENOSPC : EFBIG; }
    const char *Name() const { return kind_ == Tmpfs ? "tmpfs" : "file size limit"; }

    template <class F> auto Run(F f) {
        if (kind_ == Tmpfs) {
            const std::string filler = dir_ + "filler";
            struct statvfs vfs;
            statvfs(dir_.c_str(), &vfs);
            const std::uint64_t free = std::uint64_t(vfs.f_bavail) * vfs.f_frsize;
            int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (free > room_)
                posix_fallocate(fd, 0, static_cast<off_t>(free - room_));
            ::close(fd);
            struct Cleanup {
                std::string path;
                ~Cleanup() { ::unlink(path.c_str()); }
            } cleanup{filler};
            return f();
        }
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit old;
        getrlimit(RLIMIT_FSIZE, &old);
        struct rlimit small = old;
        small.rlim_cur = room_;
        setrlimit(RLIMIT_FSIZE, &small);
        struct Restore {
            rlimit limit;
            void (*handler)(int);
            ~Restore() {
                setrlimit(RLIMIT_FSIZE, &limit);
                std::signal(SIGXFSZ, handler);
            }
        } restore{old, oldHandler};
        return f();
    }

  private:
    Kind kind_;
    std::string dir_;
    std::uint64_t room_;
    bool mounted_ = false;
    std::string why_;
};

// Runs test once for each kind of full disk this machine can make, each in a
// fresh directory (with a trailing "/"); false when it could make none.
inline bool ForEachFullDisk(std::uint64_t room,
                            const std::function<void(FullDisk &, const std::string &)> &test) {
    bool ran = false;
    for (auto kind : {FullDisk::Tmpfs, FullDisk::FileSizeLimit}) {
        TempDir dir;
        FullDisk disk(kind, dir.Path(), room);
        if (!disk.WhyNot().empty()) {
            std::printf("[ note     ] no %s: %s\n", disk.Name(), disk.WhyNot().c_str());
            continue;
        }
        ran = true;
        test(disk, dir.Path());
    }
    return ran;
}

// Runs f in a child process that dies of SIGXFSZ once a file it writes grows
// past limit bytes, as a writer killed in the middle of its work. True when
// the child died that way.
inline bool KilledWhileWriting(std::uint64_t limit, const std::function<void()> &f) {
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        std::signal(SIGXFSZ, SIG_DFL);
        struct rlimit r;
        getrlimit(RLIMIT_FSIZE, &r);
        r.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &r);
        f();
        _exit(0);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFSIGNALED(status) &&
           WTERMSIG(status) == SIGXFSZ;
}

} // namespace pvtest
