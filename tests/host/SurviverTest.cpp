// The surviver with stand-ins for the program: each scenario runs in a
// process of its own (a death test, forked where it stands), since the
// surviver forks, takes the process's signals and may run the program twice. The runs note what
// they saw in a file the test reads afterwards.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>

#include <unistd.h>

#include "host/Surviver.h"
#include "tests/support/Desktop.h"
#include "tests/support/PeerProcess.h"

namespace pv {
namespace {

using test::ReadFileText;

class SurviverTest : public ::testing::Test {
  protected:
    // Appends a line to the notes (from any of the processes).
    void Note(const std::string &line) const {
        FILE *f = std::fopen(notes_.c_str(), "a");
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
    std::string Notes() const { return ReadFileText(notes_); }

    // Runs the surviver as the program's main would, in the calling process
    // (the death test's); the desktop child ends with its own status.
    int Scenario(bool service, const std::function<int(const TSurvival &)> &program) const {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGTERM, SIGINT, SIGHUP})
            sigaddset(&set, s);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        TsvSurviver surviver(service);
        const pid_t main = getpid();
        const int status = surviver.Run(true, [&](const TSurvival &how) {
            Note(std::string(how.Desktop ? "desktop" : "headless") +
                 (how.DisplayLost ? " after the loss" : "") +
                 (how.LossReported ? " reported" : "") + (how.TimerOn ? " timer on" : "") +
                 (getpid() == main ? " here" : " in a child"));
            return program(how);
        });
        if (surviver.InDesktopChild())
            std::exit(status); // as main returns: the exit hooks run
        return status;
    }

    // A desktop run that loses its display the toolkit's way.
    std::function<int(const TSurvival &)> LosesDisplay(bool timerOn, int status) const {
        return [this, timerOn, status](const TSurvival &how) {
            if (!how.Desktop)
                return 7;
            TsvSurviver::WatchDisplay([this, timerOn, status](bool goesOn) {
                Note(goesOn ? "loss: goes on" : "loss: ends");
                return TDisplayLoss{timerOn, status};
            });
            std::exit(1);
        };
    }

    pvtest::TempDir dir_;
    std::string notes_ = dir_ / "notes";
};

TEST_F(SurviverTest, InServiceModeTheLossIsFollowedByAHeadlessRunHereWithTheDesktopsTimer) {
    for (bool timerOn : {true, false}) {
        std::remove(notes_.c_str());
        EXPECT_EXIT(std::_Exit(Scenario(true, LosesDisplay(timerOn, 1))),
                    testing::ExitedWithCode(7), "");
        EXPECT_EQ(
            Notes(),
            std::string("desktop in a child\nloss: goes on\nheadless after the loss reported") +
                (timerOn ? " timer on" : "") + " here\n");
    }
}

TEST_F(SurviverTest, WithoutTheSwitchTheLossEndsTheProgramWithItsStatus) {
    EXPECT_EXIT(std::_Exit(Scenario(false, LosesDisplay(true, 5))), testing::ExitedWithCode(5), "");
    EXPECT_EQ(Notes(), "desktop here\nloss: ends\n");
}

TEST_F(SurviverTest, AnEndTheProgramChoseIsNoLossAndItsStatusIsTheProgramsStatus) {
    // The watch ended before the program's own exit: the exit hooks run
    // without taking it for the display's loss.
    EXPECT_EXIT(std::_Exit(Scenario(true,
                                    [](const TSurvival &) {
                                        TsvSurviver::WatchDisplay([](bool) {
                                            return TDisplayLoss{false, 9};
                                        });
                                        TsvSurviver::EndWatch();
                                        return 3;
                                    })),
                testing::ExitedWithCode(3), "");
    EXPECT_EQ(Notes(), "desktop in a child\n");
}

TEST_F(SurviverTest, TheSurviverPassesTheTerminationSignalsToTheChildInAGroupOfItsOwn) {
    EXPECT_EXIT(std::_Exit(Scenario(true,
                                    [this, surviver = getpid()](const TSurvival &) {
                                        Note(getpgrp() == getpid() ? "own group" : "shared group");
                                        for (int s : {SIGHUP, SIGINT, SIGTERM}) {
                                            sigset_t one;
                                            sigemptyset(&one);
                                            sigaddset(&one, s);
                                            kill(surviver, s);
                                            timespec limit{10, 0};
                                            if (sigtimedwait(&one, nullptr, &limit) == s)
                                                Note("got " + std::string(strsignal(s)));
                                        }
                                        return 0;
                                    })),
                testing::ExitedWithCode(0), "");
    EXPECT_EQ(Notes(),
              "desktop in a child\nown group\ngot Hangup\ngot Interrupt\ngot Terminated\n");
}

TEST_F(SurviverTest, AChildKilledBeforeItCouldReportIsALossOnlyWhenTheDisplayIsGone) {
    auto killed = [](const TSurvival &how) {
        if (!how.Desktop)
            return 7;
        raise(SIGKILL);
        return 0;
    };
    // No display answers: the toolkit died of its loss; the timer as configured.
    EXPECT_EXIT(
        (unsetenv("DISPLAY"), unsetenv("WAYLAND_DISPLAY"), std::_Exit(Scenario(true, killed))),
        testing::ExitedWithCode(7), "");
    EXPECT_EQ(Notes(), "desktop in a child\nheadless after the loss here\n");

    test::Desktop desk;
    if (std::string why; !desk.Start(why))
        GTEST_SKIP() << why;
    std::remove(notes_.c_str());
    const std::string display = desk.Display();
    EXPECT_EXIT((setenv("DISPLAY", display.c_str(), 1), std::_Exit(Scenario(true, killed))),
                testing::ExitedWithCode(128 + SIGKILL), "");
    EXPECT_EQ(Notes(), "desktop in a child\n");
}

} // namespace
} // namespace pv
