// TsvSurviver: keeps the program's forms, timers and job cycle going when
// the desktop's display goes away under a program started with the service
// switch. The toolkit ends the whole process when its display connection
// breaks, so the desktop runs in a child process that the surviver watches;
// when the child reports the display's loss, the surviver itself goes on as
// the headless program with the child's timer state. Without the switch the
// program runs in its own process and the display's loss ends it, with its
// log saying why and its exit status as if it had been closed.
#pragma once

#include <functional>
#include <sys/types.h>

namespace pv {

// How one run of the program starts.
struct TSurvival {
    bool Desktop = false;      // it may load the desktop front end
    bool DisplayLost = false;  // it goes on after a desktop run lost its display
    bool LossReported = false; // that run said so (and logged it) as it ended
    bool TimerOn = false;      // and its poll timer was on
};

// What a desktop run says when its display has gone away.
struct TDisplayLoss {
    bool TimerOn = false; // its poll timer was on (or running the timer's job)
    int ExitStatus = 0;   // of the program, had it been closed now
};

class TsvSurviver {
  public:
    // serviceMode: started with the service switch; the program is to
    // outlive its desktop.
    explicit TsvSurviver(bool serviceMode) : serviceMode_(serviceMode) {}
    TsvSurviver(const TsvSurviver &) = delete;
    TsvSurviver &operator=(const TsvSurviver &) = delete;

    // Runs program and returns the exit status for the whole program. With
    // desktop false, or without the service switch, program runs here once.
    // Otherwise it runs as a desktop child that gets SIGTERM, SIGINT and
    // SIGHUP from here; once the child has lost its display, program runs
    // here again, headless. Call it before any thread or message loop
    // exists, with the termination signals blocked.
    int Run(bool desktop, const std::function<int(const TSurvival &)> &program);

    // True in the desktop child once Run has returned there: the caller
    // ends the process with the status (main returns it).
    bool InDesktopChild() const { return child_ == 0; }

    // From a desktop run, while its front end runs: an end of the process
    // that the program did not choose (the toolkit's, when the display
    // connection breaks) is the display's loss. onLoss (goesOn: the program
    // goes on headless) may log what happened; the process then ends at once
    // with its status, nothing else's clean-up run. EndWatch before the
    // program ends by itself.
    static void WatchDisplay(std::function<TDisplayLoss(bool goesOn)> onLoss);
    static void EndWatch();

  private:
    int Supervise(const std::function<int(const TSurvival &)> &program);

    bool serviceMode_;
    pid_t child_ = -1;
};

} // namespace pv
