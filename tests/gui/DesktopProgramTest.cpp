// The program as a user starts it on a desktop, under Qt's GLib event
// dispatcher and under its own: the splash for about three seconds, then the
// icon in the notification area (trayer), the window from the icon's double
// click and the end from the icon's menu; on a desktop without a
// notification area the window itself after the splash.
#include "GuiFixture.h"

namespace pv::test {
namespace {

constexpr const char *kSplash = "Postvane for Windows";
constexpr const char *kWindow = "Postvane Freeware 1.4.6";
// The outline of the tray frame shown while the timer is off.
constexpr const char *kFrame0Colour = "#404040";

struct DesktopProgram : ::testing::TestWithParam<bool> {
    LoopGuard guard{110};
    Desktop desk;
    ProgramProcess program;

    void SetUp() override {
        ASSERT_EQ(program.Missing(), "") << "not built in " << BinaryDir();
        if (std::string why; !desk.Start(why))
            GTEST_SKIP() << why;
        if (!HaveProgram("xdotool"))
            GTEST_SKIP() << "xdotool is not installed (Debian package xdotool)";
    }

    void Launch() {
        const TempDir &dir = program.Dir();
        WriteFileText(dir / "postvane.ini", "[SETUP]\r\nPollDir=" + dir.Path() + "\r\n");
        ASSERT_TRUE(program.Launch({"DISPLAY=" + desk.Display(), "WAYLAND_DISPLAY",
                                    "DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER",
                                    "QT_QPA_PLATFORM=xcb", "XDG_RUNTIME_DIR=" + dir.Path(),
                                    GetParam() ? "QT_NO_GLIB" : "QT_NO_GLIB=1"}));
    }

    // Waits for the window to be shown (or gone); false after timeoutMs.
    bool WaitShown(const std::string &name, bool shown, int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (desk.WindowShown(name) != shown)
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
        return true;
    }

    // The splash comes, and goes about three seconds after the program
    // started; the window stays hidden until then.
    void SplashForThreeSeconds() {
        ASSERT_TRUE(WaitShown(kSplash, true, 20000));
        const auto seen = std::chrono::steady_clock::now();
        EXPECT_FALSE(desk.WindowShown(kWindow));
        ASSERT_TRUE(WaitShown(kSplash, false, 10000));
        const auto shownFor = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - seen)
                                  .count();
        EXPECT_GT(shownFor, 1500);
        EXPECT_LT(shownFor, 4500);
    }
};

TEST_P(DesktopProgram, LivesInTheTrayAndIsReachedThroughItsIcon) {
    if (!desk.StartTrayer())
        GTEST_SKIP() << "trayer is not installed (Debian package trayer)";
    Launch();
    SplashForThreeSeconds();
    EXPECT_FALSE(desk.WindowShown(kWindow));

    // The timer is off: frame 0, in trayer's strip along the top.
    int x = 0, y = 0;
    for (int i = 0; i < 100 && !desk.FindColour(kFrame0Colour, 0, 0, 1024, 30, x, y); ++i)
        usleep(50000);
    ASSERT_TRUE(desk.FindColour(kFrame0Colour, 0, 0, 1024, 30, x, y)) << "no icon in the tray";

    ASSERT_EQ(desk.Tool({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "sleep",
                         "0.1", "click", "--repeat", "2", "--delay", "80", "1"}),
              0);
    EXPECT_TRUE(WaitShown(kWindow, true, 10000)) << "the double click showed no window";

    // The menu's Exit (its access key) ends the program; no job runs, so
    // nothing is asked.
    const int before = desk.VisibleWindows("postvane");
    std::thread exit([&] {
        for (int i = 0; i < 100 && desk.VisibleWindows("postvane") <= before; ++i)
            usleep(50000);
        desk.Tool({"xdotool", "key", "e"});
    });
    desk.Tool({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "sleep", "0.1",
               "click", "3"});
    exit.join();
    EXPECT_EQ(program.WaitExit(10000), 0);
}

TEST_P(DesktopProgram, WithoutANotificationAreaTheWindowFollowsTheSplash) {
    Launch();
    SplashForThreeSeconds();
    EXPECT_TRUE(WaitShown(kWindow, true, 5000)) << "the program is out of reach";
    EXPECT_EQ(program.Terminate(), 0);
}

INSTANTIATE_TEST_SUITE_P(Dispatchers, DesktopProgram, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "GLib" : "QtOwn");
                         });

} // namespace
} // namespace pv::test
