#include "host/Surviver.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/FrontEnd.h"

namespace pv {

namespace {

// The display watch of this process. Never destroyed: it must outlive every
// other static object, since the exit it watches for destroys them.
struct DisplayWatch {
    std::function<TDisplayLoss(bool goesOn)> onLoss;
    bool armed = false;
    bool registered = false;
    bool goesOn = false; // a surviver waits for this process's report
    int reportFd = -1;   // where the report goes
};

DisplayWatch &Watch() {
    static DisplayWatch *watch = new DisplayWatch;
    return *watch;
}

// The report a desktop child leaves for its surviver: 'L' (the display was
// lost), then '1' or '0' for the poll timer.
constexpr std::size_t kReportSize = 2;

// Registered last, so it runs before the exit destroys anything the handler
// of the loss may still use.
extern "C" void AtProcessExit() {
    DisplayWatch &w = Watch();
    if (!w.armed)
        return;
    w.armed = false;
    TDisplayLoss loss;
    try {
        if (w.onLoss)
            loss = w.onLoss(w.goesOn);
    } catch (...) {
        loss.ExitStatus = 1;
    }
    if (w.reportFd >= 0) {
        const char report[kReportSize] = {'L', loss.TimerOn ? '1' : '0'};
        ssize_t n = write(w.reportFd, report, sizeof report);
        (void)n;
    }
    std::fflush(nullptr);
    _exit(loss.ExitStatus);
}

int StatusOf(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return 1;
}

} // namespace

void TsvSurviver::WatchDisplay(std::function<TDisplayLoss(bool goesOn)> onLoss) {
    DisplayWatch &w = Watch();
    w.onLoss = std::move(onLoss);
    w.armed = true;
    if (!w.registered)
        w.registered = std::atexit(AtProcessExit) == 0;
}

void TsvSurviver::EndWatch() {
    Watch().armed = false;
}

int TsvSurviver::Run(bool desktop, const std::function<int(const TSurvival &)> &program) {
    if (desktop && serviceMode_)
        return Supervise(program);
    return program(TSurvival{desktop, false, false, false});
}

int TsvSurviver::Supervise(const std::function<int(const TSurvival &)> &program) {
    const TSurvival onDesktop{true, false, false, false};
    sigset_t childEnds, old;
    sigemptyset(&childEnds);
    sigaddset(&childEnds, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &childEnds, &old);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return program(onDesktop); // without a way to hear of the loss: unguarded
    }
    const pid_t parent = getpid();
    child_ = fork();
    if (child_ < 0) {
        close(report[0]);
        close(report[1]);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return program(onDesktop);
    }
    if (child_ == 0) {
        close(report[0]);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        // The terminal's Ctrl+C reaches the surviver alone, which passes it
        // on once; the child goes when the surviver goes.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            kill(getpid(), SIGTERM);
        DisplayWatch &w = Watch();
        w.reportFd = report[1];
        w.goesOn = true;
        return program(onDesktop);
    }
    close(report[1]);

    sigset_t awaited;
    sigemptyset(&awaited);
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&awaited, s);
    int status = 0;
    for (;;) {
        siginfo_t info;
        const int signo = sigwaitinfo(&awaited, &info);
        if (signo < 0) {
            if (errno == EINTR)
                continue;
            while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        if (signo != SIGCHLD) {
            kill(child_, signo);
            continue;
        }
        if (waitpid(child_, &status, WNOHANG) == child_)
            break;
    }
    child_ = -1;
    char said[kReportSize] = {};
    const ssize_t n = read(report[0], said, sizeof said);
    close(report[0]);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);

    TSurvival headless{false, true, false, false};
    if (n == static_cast<ssize_t>(kReportSize) && said[0] == 'L') {
        headless.LossReported = true;
        headless.TimerOn = said[1] == '1';
        return program(headless);
    }
    // Killed before it could say why (the toolkit failing as it started):
    // with the display gone that is its loss too, the timer as configured.
    if (WIFSIGNALED(status) && !DisplayPresent())
        return program(headless);
    return StatusOf(status);
}

} // namespace pv
