// The program picks its front end: headless without a display (and then not
// one Qt library is loaded), the Qt one with a display.
#include "GuiFixture.h"

namespace pv::test {
namespace {

struct FrontEndChoice : ::testing::Test {
    LoopGuard guard{60};
    ProgramProcess program;

    void SetUp() override { ASSERT_EQ(program.Missing(), "") << "not built in " << BinaryDir(); }
};

TEST_F(FrontEndChoice, WithoutADisplayItRunsHeadlessAndLoadsNoQt) {
    ASSERT_TRUE(program.Launch({"DISPLAY", "WAYLAND_DISPLAY"}));
    usleep(300000);
    EXPECT_FALSE(program.QtLoaded());
    EXPECT_EQ(program.Terminate(), 0);
    // SIGHUP is the end of the session: without the service switch the
    // program ends with it.
    ASSERT_TRUE(program.Launch({"DISPLAY", "WAYLAND_DISPLAY"}));
    EXPECT_EQ(program.Terminate(SIGHUP), 0);
}

TEST_F(FrontEndChoice, WithADisplayItShowsItsWindowsThroughQt) {
    Desktop desk;
    if (std::string why; !desk.Start(why))
        GTEST_SKIP() << why;
    if (!HaveProgram("xdotool"))
        GTEST_SKIP() << "xdotool is not installed (Debian package xdotool)";
    ASSERT_TRUE(
        program.Launch({"DISPLAY=" + desk.Display(), "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                        "XDG_RUNTIME_DIR=" + program.Dir().Path()}));
    // The start-up splash.
    EXPECT_EQ(desk.Tool({"xdotool", "search", "--sync", "--onlyvisible", "--name",
                         "^Postvane for Windows$"},
                        nullptr, 20000),
              0);
    EXPECT_TRUE(program.QtLoaded());
    EXPECT_EQ(program.Terminate(), 0);
}

} // namespace
} // namespace pv::test
