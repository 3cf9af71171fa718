// The program's loop inside Qt's, under Qt's GLib dispatcher and its own:
// timers and posted messages go on while a modal dialog is open, a nested
// wait of the layer inside that dialog ends when its quit comes, and Qt's
// events (the dialog taking a key and closing) go on inside that wait.
#include "GuiFixture.h"

#include "platform/Application.h"
#include "platform/Dialogs.h"

namespace pv::test {
namespace {

struct Loop : GuiTest, ::testing::WithParamInterface<bool> {
    void SetUp() override { StartDesktop(GetParam()); }
};

TEST_P(Loop, NeitherLoopStarvesInsideTheOthersNestedLoops) {
    int ticks = 0, ticksInWait = 0;
    bool inBox = false, waited = false;
    std::atomic<bool> waiting{false};
    HWND quitTarget = CreateWindow(
        [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT { return DefWindowProc(h, m, w, l); });
    std::thread closer;
    HWND ticker = CreateWindow([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        if (m != WM_TIMER)
            return DefWindowProc(h, m, w, l);
        ++ticks;
        if (!inBox || waited || ticks < 3)
            return 0;
        // A nested wait of the layer inside the modal dialog, as a POP3 logon
        // runs one: it ends with a quit posted to its own window. Meanwhile
        // the dialog must take Escape and close, which only Qt's events do.
        waited = true;
        closer = std::thread([&] {
            while (!waiting)
                usleep(1000);
            Desk().Tool({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^LoopBox$",
                         "windowfocus", "--sync"});
            Desk().Tool({"xdotool", "key", "Escape"});
            for (int i = 0; i < 250 && Desk().WindowShown("LoopBox"); ++i)
                usleep(20000);
            usleep(300000); // long enough for the layer's timer to tick a few times
            PostMessage(quitTarget, WM_QUIT, 0, 0);
        });
        const int before = ticks;
        waiting = true;
        MSG msg;
        while (GetMessage(msg))
            DispatchMessage(msg);
        EXPECT_EQ(msg.hwnd, quitTarget);
        ticksInWait = ticks - before;
        return 0;
    });
    SetTimer(ticker, 1, 20);

    // The box stays up until the closer's Escape: it shows the timer ran
    // within it, and the nested wait within that.
    inBox = true;
    const int answer = MessageBox("Modal while the program's loop goes on", "LoopBox",
                                  MB_OKCANCEL | MB_ICONINFORMATION);
    inBox = false;
    if (closer.joinable())
        closer.join();
    EXPECT_EQ(answer, IDCANCEL);
    EXPECT_TRUE(waited);
    EXPECT_GE(ticksInWait, 3) << "the layer's timers stopped inside its nested wait";
    EXPECT_FALSE(Desk().WindowShown("LoopBox"));

    // Back in Qt's own loop: messages and timers still flow.
    const int before = ticks;
    bool posted = false;
    HWND poster = CreateWindow([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        if (m == WM_USER)
            posted = true;
        return DefWindowProc(h, m, w, l);
    });
    PostMessage(poster, WM_USER, 0, 0);
    EXPECT_TRUE(Until([&] { return posted && ticks >= before + 3; }));
    KillTimer(ticker, 1);
    for (HWND w : {ticker, quitTarget, poster})
        DestroyWindow(w);
}

// A dialog opened inside a nested wait of the layer: the quit meant for that
// wait, posted while the dialog is open, must not be taken by the dialog's
// loop; the wait gets it once the dialog has closed.
TEST_P(Loop, AQuitForANestedWaitBelowADialogWaitsForThatWait) {
    bool boxShown = false, waitEnded = false;
    int answer = 0;
    HWND quitTarget = CreateWindow(
        [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT { return DefWindowProc(h, m, w, l); });
    std::thread driver;
    HWND w = CreateWindow([&](HWND h, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        if (m != WM_TIMER)
            return DefWindowProc(h, m, wp, lp);
        KillTimer(h, wp);
        if (wp == 1) { // the nested wait, with a dialog to come inside it
            SetTimer(h, 2, 20);
            MSG msg;
            while (GetMessage(msg))
                DispatchMessage(msg);
            EXPECT_EQ(msg.hwnd, quitTarget);
            waitEnded = true;
        } else { // inside the wait: the dialog
            driver = std::thread([&] {
                Desk().Tool({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^InnerBox$",
                             "windowfocus", "--sync"});
                PostMessage(quitTarget, WM_QUIT, 0, 0);
                usleep(200000);
                Desk().Tool({"xdotool", "key", "Escape"});
            });
            boxShown = true;
            answer = MessageBox("Inside a nested wait", "InnerBox", MB_OKCANCEL);
        }
        return 0;
    });
    SetTimer(w, 1, 20);
    EXPECT_TRUE(Until([&] { return waitEnded; }, 20000));
    if (driver.joinable())
        driver.join();
    EXPECT_TRUE(boxShown);
    EXPECT_EQ(answer, IDCANCEL);
    DestroyWindow(w);
    DestroyWindow(quitTarget);
}

TEST_P(Loop, TheProgramsQuitEndsQtsLoop) {
    HWND w = CreateWindow([](HWND h, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        if (m == WM_TIMER) {
            KillTimer(h, 1);
            Application().Terminate();
        }
        return DefWindowProc(h, m, wp, lp);
    });
    SetTimer(w, 1, 50);
    TApplication &app = Application();
    Front().Run(app); // returns once the program has terminated
    EXPECT_TRUE(app.Terminated());
    DestroyWindow(w);
}

INSTANTIATE_TEST_SUITE_P(Dispatchers, Loop, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "GLib" : "NoGLib"; });

} // namespace
} // namespace pv::test
