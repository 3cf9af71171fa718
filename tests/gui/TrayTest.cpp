// The tray icon in a real notification area (trayer on Xvfb): it appears,
// shows our frame, and the user's double click and right click reach the
// component through Qt's tray icon.
#include "GuiFixture.h"

#include "host/TrayIcon.h"

namespace pv::test {
namespace {

struct TrayInTrayer : GuiTest {
    void SetUp() override { StartDesktop(true, true); }
};

TEST_F(TrayInTrayer, TheIconAppearsInTheTrayAndTakesClicks) {
    std::vector<std::string> seen;
    std::atomic<bool> rightDown{false};
    TTrayIcon tray;
    tray.SetActive(false);
    ASSERT_TRUE(tray.Icon().LoadFromFile(BinaryDir() + "/tray1.png"));
    tray.SetHint("Postvane Freeware");
    tray.OnDblClick = [&](TObject *) { seen.push_back("double"); };
    tray.OnClick = [&](TObject *, TMouseButton b, TShiftState, int, int) {
        seen.push_back(b == mbLeft ? "click left" : "click other");
    };
    tray.OnMouseDown = [&](TObject *, TMouseButton b, TShiftState, int, int) {
        if (b == mbRight)
            rightDown = true;
    };
    TPopupMenu menu;
    TMenuItem setup{"Show1", "&Setup"}, exit{"Exit1", "&Exit"};
    menu.Add(&setup);
    menu.Add(&exit);
    setup.OnClick = [&](TObject *) { seen.push_back("setup"); };
    exit.OnClick = [&](TObject *) { seen.push_back("exit"); };
    tray.SetPopupMenu(&menu);

    tray.SetActive(true);
    ASSERT_TRUE(tray.IconAdded());
    int x = 0, y = 0, w = 0, h = 0;
    ASSERT_TRUE(Until([&] {
        // Our frame's yellow is on the screen where the tray shows the icon
        // (once it has been embedded there).
        if (!Front().TrayIconRect(tray.Handle(), x, y, w, h))
            return false;
        std::string pixels;
        Desk().Tool({"import", "-window", "root", "-crop",
                     std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(x) + "+" +
                         std::to_string(y),
                     "-depth", "8", "txt:-"},
                    &pixels);
        return pixels.find("#FACE3D") != std::string::npos;
    })) << "the icon is not painted in the tray at "
        << x << "," << y;

    ClickAt(x + w / 2, y + h / 2, 1, 2);
    ASSERT_TRUE(Until([&] { return !seen.empty() && seen.back() == "double"; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"click left", "double"}));

    // The right button opens the menu (in a loop of its own); Down and
    // Return pick its first item, and no click is raised.
    seen.clear();
    const int before = Desk().VisibleWindows("pvgui");
    std::thread picker([&] {
        for (int i = 0; i < 500 && !rightDown; ++i)
            usleep(10000);
        for (int i = 0; i < 100 && Desk().VisibleWindows("pvgui") <= before; ++i)
            usleep(20000);
        Desk().Tool({"xdotool", "key", "--delay", "60", "Down", "Return"});
    });
    ClickAt(x + w / 2, y + h / 2, 3);
    EXPECT_TRUE(Until([&] { return !seen.empty(); }, 10000));
    picker.join();
    EXPECT_EQ(seen, (std::vector<std::string>{"setup"}));

    tray.SetActive(false);
    EXPECT_TRUE(Until([&] { return !Front().TrayIconRect(tray.Handle(), x, y, w, h); }));
}

} // namespace
} // namespace pv::test
