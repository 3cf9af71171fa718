#include "platform/Application.h"
#include "platform/MessageLoop.h"
#include "platform/Timer.h"
#include "tests/support/LoopGuard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace pv;
using pv::test::LoopGuard;

namespace {
class EThing : public Exception {
  public:
    using Exception::Exception;
    const char *ClassName() const override { return "EThing"; }
};
} // namespace

TEST(Application, RunEndsOnTerminateFromAHandler) {
    LoopGuard guard(20, LoopGuard::FakeClock);
    TApplication app;
    TTimer t;
    t.SetInterval(3000);
    int ticks = 0;
    HWND w = CreateWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        guard.Advance(3000);
        return 0;
    });
    t.OnTimer = [&](TObject *) {
        if (++ticks == 2)
            app.Terminate();
        else
            PostMessage(w, WM_USER, 0, 0);
    };
    PostMessage(w, WM_USER, 0, 0);
    app.Run();
    EXPECT_TRUE(app.Terminated());
    EXPECT_EQ(ticks, 2);
    DestroyWindow(w);
}

TEST(Application, ExceptionsFromProceduresReachOnExceptionAndTheLoopGoesOn) {
    LoopGuard guard;
    TApplication app;
    std::vector<std::string> reported;
    TObject *sender = nullptr;
    app.OnException = [&](TObject *s, const Exception &e) {
        sender = s;
        reported.push_back(std::string(e.ClassName()) + ": " + e.Message());
    };
    HWND w = CreateWindow([&](HWND, UINT msg, WPARAM wp, LPARAM) -> LRESULT {
        if (msg != WM_USER)
            return 0;
        switch (wp) {
        case 1:
            throw EThing("bad thing");
        case 2:
            throw EAbort();
        case 3:
            throw std::runtime_error("plain");
        case 4:
            throw 42;
        default:
            app.Terminate();
        }
        return 0;
    });
    for (WPARAM i = 1; i <= 5; ++i)
        PostMessage(w, WM_USER, i, 0);
    app.Run();
    EXPECT_EQ(reported, (std::vector<std::string>{"EThing: bad thing", "Exception: plain",
                                                  "Exception: Unknown exception"}));
    EXPECT_EQ(sender, &app);
    DestroyWindow(w);
}

TEST(Application, ProcessMessagesDrainsWithoutWaiting) {
    LoopGuard guard;
    TApplication app;
    int n = 0;
    HWND w = CreateWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        if (++n == 1)
            throw EThing("from a handler");
        return 0;
    });
    std::string reported;
    app.OnException = [&](TObject *, const Exception &e) { reported = e.Message(); };
    PostMessage(w, WM_USER, 0, 0);
    PostMessage(w, WM_USER, 0, 0);
    app.ProcessMessages();
    EXPECT_EQ(n, 2);
    EXPECT_EQ(reported, "from a handler");
    EXPECT_FALSE(app.Terminated());
    app.ProcessMessages(); // nothing pending: returns at once
    PostQuitMessage(0);
    PostMessage(w, WM_USER, 0, 0);
    app.ProcessMessages();
    EXPECT_TRUE(app.Terminated());
    EXPECT_EQ(n, 3);
    DestroyWindow(w);
}

// A quit aimed at a window belongs to the nested loop waiting for it; one that
// reaches the main loop must not end the program.
TEST(Application, QuitPostedToAWindowDoesNotEndRun) {
    LoopGuard guard;
    TApplication app;
    UINT seenByWindow = 0;
    HWND w = CreateWindow([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
        if (msg == WM_QUIT)
            seenByWindow = msg;
        else
            app.Terminate();
        return 0;
    });
    PostMessage(w, WM_QUIT, 0, 0);
    PostMessage(w, WM_USER, 0, 0);
    app.Run();
    EXPECT_EQ(seenByWindow, WM_QUIT);
    DestroyWindow(w);
}

TEST(Application, WithoutAHandlerExceptionsGoToStderr) {
    LoopGuard guard;
    TApplication app;
    HWND w = CreateWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { throw EThing("noted"); });
    PostMessage(w, WM_USER, 0, 0);
    testing::internal::CaptureStderr();
    app.HandleMessage();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "EThing: noted\n");
    EXPECT_EQ(&Application(), &Application());
    DestroyWindow(w);
}
