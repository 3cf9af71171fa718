// The tray icon against a notification area of the test's own: what is
// added, changed and removed, the tip, the animation on a fake clock, and the
// mouse rules.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/TrayIcon.h"
#include "platform/Application.h"
#include "tests/support/LoopGuard.h"
#include "tests/support/PeerProcess.h"

namespace pv {
namespace {

using test::LoopGuard;
using test::RunLoopUntil;

struct FakeArea : TNotifyArea {
    struct Call {
        std::uint32_t message;
        TNotifyIconData data;
    };
    std::vector<Call> calls;
    bool accept = true;
    bool shown = false;
    TPoint cursor{120, 7};
    TShiftState shift;
    int menus = 0;
    TMenuItem *choice = nullptr;
    bool menuShown = true;

    bool ShellNotifyIcon(std::uint32_t message, const TNotifyIconData &data) override {
        calls.push_back({message, data});
        if (message == NIM_ADD)
            return shown = accept;
        if (message == NIM_DELETE) {
            const bool was = shown;
            shown = false;
            return was;
        }
        return shown;
    }
    TPoint CursorPos() override { return cursor; }
    TShiftState KeyboardShift() override { return shift; }
    bool TrackPopupMenu(TPopupMenu &, TPoint at, TMenuItem *&chosen) override {
        ++menus;
        EXPECT_EQ(at.X, cursor.X);
        chosen = choice;
        return menuShown;
    }
    std::string ShownImage() const {
        auto image = IconImage(calls.back().data.hIcon);
        return image ? *image : "";
    }
};

struct Image : TIcon {
    explicit Image(const std::string &bytes) { LoadFromData(bytes); }
};

struct Tray : ::testing::Test {
    LoopGuard guard;
    FakeArea area;
    TNotifyArea *old = SetNotifyArea(&area);
    ~Tray() override { SetNotifyArea(old); }
};

TEST(TrayTip, OnlyTheShortHintAndAtMost63Bytes) {
    EXPECT_EQ(TrayTip("Postvane Freeware"), "Postvane Freeware");
    EXPECT_EQ(TrayTip("Short|A long explanation"), "Short");
    EXPECT_EQ(TrayTip("|long only"), "");
    EXPECT_EQ(TrayTip(std::string(70, 'x')), std::string(63, 'x'));
    // Never half a character: a two-byte one across the limit goes whole.
    EXPECT_EQ(TrayTip(std::string(62, 'x') + "\xC3\xA4" + "y"), std::string(62, 'x'));
}

TEST_F(Tray, NothingIsShownWithoutAnIconAndTheRecordFollowsEveryChange) {
    TTrayIcon tray;
    tray.SetHint("Postvane Freeware|the long part");
    tray.Loaded();
    EXPECT_FALSE(tray.IconAdded());
    for (const auto &c : area.calls)
        EXPECT_NE(c.message, NIM_ADD);

    Image off("frame-off");
    tray.SetIcon(&off);
    ASSERT_TRUE(tray.IconAdded());
    const TNotifyIconData &d = area.calls.back().data;
    EXPECT_EQ(area.calls.back().message, NIM_ADD);
    EXPECT_EQ(d.hWnd, tray.Handle());
    EXPECT_EQ(d.uFlags, 7u);
    EXPECT_EQ(d.uCallbackMessage, 45140u);
    EXPECT_EQ(std::string(d.szTip), "Postvane Freeware");
    EXPECT_EQ(area.ShownImage(), "frame-off");

    tray.SetHint("Timer On");
    EXPECT_EQ(area.calls.back().message, NIM_MODIFY);
    EXPECT_EQ(std::string(area.calls.back().data.szTip), "Timer On");
    TIcon empty;
    tray.SetIcon(&empty); // an empty icon cannot be shown: it goes
    EXPECT_EQ(area.calls.back().message, NIM_DELETE);
    EXPECT_FALSE(tray.IconAdded());

    tray.SetIcon(&off);
    tray.SetActive(false);
    EXPECT_EQ(area.calls.back().message, NIM_DELETE);
    const std::size_t before = area.calls.size();
    tray.SetHint("inactive: nothing is sent but deletions");
    for (std::size_t i = before; i < area.calls.size(); ++i)
        EXPECT_EQ(area.calls[i].message, NIM_DELETE);
}

TEST_F(Tray, AnAreaThatRefusesLeavesTheIconNotAdded) {
    area.accept = false;
    TTrayIcon tray;
    Image icon("x");
    tray.SetIcon(&icon);
    EXPECT_FALSE(tray.IconAdded());
    area.accept = true;
    tray.SetActive(false);
    tray.SetActive(true); // as when the notification area comes back
    EXPECT_TRUE(tray.IconAdded());
}

TEST_F(Tray, AnimationAlternatesTheFramesOnItsClockAndStopsWithTheStaticIcon) {
    auto clock = std::make_shared<FakeClock>();
    TTrayIcon tray;
    tray.SetAnimationClock(clock);
    tray.SetAnimated(true); // no frames yet: stays off
    EXPECT_FALSE(tray.Animated());
    Image idle("idle"), f0("frame0"), f1("frame1");
    tray.SetIcon(&idle);
    tray.Icons().Add(&f0);
    tray.Icons().Add(&f1);
    tray.SetInterval(250);
    tray.SetAnimated(true);
    ASSERT_TRUE(tray.Animated());
    EXPECT_EQ(area.ShownImage(), "frame0");

    auto shownAfter = [&](std::uint64_t ms) {
        clock->Advance(ms);
        const std::string before = area.ShownImage();
        RunLoopUntil([&] { return area.ShownImage() != before; }, 1000);
        return area.ShownImage();
    };
    EXPECT_EQ(shownAfter(200), "frame0"); // not yet: a second of waiting sees no step
    EXPECT_EQ(shownAfter(50), "frame1");
    EXPECT_EQ(shownAfter(250), "frame0");
    EXPECT_EQ(shownAfter(250), "frame1");

    tray.SetAnimated(false);
    EXPECT_EQ(area.ShownImage(), "idle");
    EXPECT_EQ(tray.FrameIndex(), 0);
    EXPECT_TRUE(RunLoopUntil([] { return TTimerThread::LiveCount() == 0; }, 2000));

    // Removing the frames ends an animation too.
    tray.SetAnimated(true);
    tray.Icons().Clear();
    EXPECT_FALSE(tray.Animated());
    EXPECT_EQ(area.ShownImage(), "idle");
    EXPECT_TRUE(RunLoopUntil([] { return TTimerThread::LiveCount() == 0; }, 2000));
}

TEST_F(Tray, AnimationWaitsWhileTheIconIsNotShown) {
    auto clock = std::make_shared<FakeClock>();
    TTrayIcon tray;
    tray.SetAnimationClock(clock);
    Image f0("frame0"), f1("frame1");
    tray.Icons().Add(&f0);
    tray.Icons().Add(&f1);
    tray.SetActive(false);
    tray.SetAnimated(true);
    clock->Advance(1000);
    test::RunLoopFor(100);
    EXPECT_EQ(tray.FrameIndex(), 0);
    tray.SetActive(true);
    clock->Advance(150);
    EXPECT_TRUE(RunLoopUntil([&] { return tray.FrameIndex() == 1; }, 2000));
}

struct Mouse : Tray {
    TTrayIcon tray;
    TPopupMenu menu{"Popup"};
    TMenuItem setup{"Show1", "&Setup"};
    TMenuItem exit{"Exit1", "&Exit"};
    std::vector<std::string> seen;

    Mouse() {
        Image icon("icon");
        tray.SetIcon(&icon);
        menu.Add(&setup);
        menu.Add(&exit);
        setup.OnClick = [this](TObject *) { seen.push_back("setup"); };
        exit.OnClick = [this](TObject *) { seen.push_back("exit"); };
        auto name = [](TMouseButton b) {
            return b == mbLeft ? "left" : b == mbRight ? "right" : "middle";
        };
        tray.OnClick = [this, name](TObject *, TMouseButton b, TShiftState s, int x, int y) {
            seen.push_back(std::string("click ") + name(b) + (s.count(ssCtrl) ? " ctrl" : "") +
                           " at " + std::to_string(x) + "," + std::to_string(y));
        };
        tray.OnDblClick = [this](TObject *) { seen.push_back("double"); };
        tray.OnMouseDown = [this, name](TObject *, TMouseButton b, TShiftState s, int, int) {
            seen.push_back(std::string("down ") + name(b) + (s.count(ssDouble) ? " double" : ""));
        };
        tray.OnMouseUp = [this, name](TObject *, TMouseButton b, TShiftState, int, int) {
            seen.push_back(std::string("up ") + name(b));
        };
    }
    void Send(std::initializer_list<UINT> mouse) {
        for (UINT m : mouse)
            PostMessage(tray.Handle(), WM_TRAY_CALLBACK, 0, LPARAM(m));
        Application().ProcessMessages();
    }
};

TEST_F(Mouse, APressAndItsReleaseMakeOneClickAtTheCursor) {
    area.shift = {ssCtrl};
    Send({WM_LBUTTONDOWN, WM_LBUTTONUP});
    EXPECT_EQ(seen, (std::vector<std::string>{"down left", "click left ctrl at 120,7", "up left"}));
    seen.clear();
    Send({WM_LBUTTONUP, WM_MBUTTONDOWN, WM_MBUTTONUP}); // no press seen: no click
    EXPECT_EQ(seen, (std::vector<std::string>{"up left", "down middle", "up middle"}));
    seen.clear();
    tray.SetEnabled(false);
    Send({WM_LBUTTONDOWN, WM_LBUTTONUP});
    EXPECT_TRUE(seen.empty());
}

TEST_F(Mouse, TheRightButtonOpensTheMenuInsteadOfClicking) {
    tray.SetPopupMenu(&menu);
    area.choice = &exit;
    Send({WM_RBUTTONDOWN, WM_RBUTTONUP});
    EXPECT_EQ(area.menus, 1);
    EXPECT_EQ(menu.PopupComponent(), &tray);
    EXPECT_EQ(seen, (std::vector<std::string>{"down right", "exit", "up right"}));

    seen.clear();
    exit.SetEnabled(false); // a disabled item chosen does nothing
    Send({WM_RBUTTONDOWN, WM_RBUTTONUP});
    EXPECT_EQ(seen, (std::vector<std::string>{"down right", "up right"}));

    seen.clear();
    menu.SetAutoPopup(false);
    Send({WM_RBUTTONDOWN, WM_RBUTTONUP});
    EXPECT_EQ(seen, (std::vector<std::string>{"down right", "click right at 120,7", "up right"}));
    EXPECT_EQ(area.menus, 2);

    menu.SetAutoPopup(true);
    area.menuShown = false; // the menu could not be shown: a click after all
    seen.clear();
    Send({WM_RBUTTONDOWN, WM_RBUTTONUP});
    EXPECT_EQ(seen, (std::vector<std::string>{"down right", "click right at 120,7", "up right"}));
}

TEST_F(Mouse, ADoubleClickPicksTheEnabledDefaultItemElseRaisesDblClick) {
    Send({WM_LBUTTONDBLCLK});
    EXPECT_EQ(seen, (std::vector<std::string>{"double", "down left double"}));
    tray.SetPopupMenu(&menu);
    setup.SetDefault(true);
    setup.SetEnabled(false);
    seen.clear();
    Send({WM_LBUTTONDBLCLK});
    EXPECT_EQ(seen, (std::vector<std::string>{"double", "down left double"}));
    setup.SetEnabled(true);
    seen.clear();
    Send({WM_LBUTTONDBLCLK});
    EXPECT_EQ(seen, (std::vector<std::string>{"setup", "down left double"}));
}

TEST_F(Mouse, HandlerErrorsGoToTheApplicationAndAFreedMenuIsDropped) {
    std::vector<std::string> errors;
    Application().OnException = [&errors](TObject *, const Exception &e) {
        errors.push_back(e.Message());
    };
    tray.OnDblClick = [](TObject *) { throw Exception("handler failed"); };
    Send({WM_LBUTTONDBLCLK});
    Application().OnException = nullptr;
    EXPECT_EQ(errors, (std::vector<std::string>{"handler failed"}));

    {
        TPopupMenu shortLived;
        tray.SetPopupMenu(&shortLived);
    }
    EXPECT_EQ(tray.PopupMenu(), nullptr);
    Send({WM_RBUTTONDOWN, WM_RBUTTONUP});
    EXPECT_EQ(area.menus, 0);
}

} // namespace
} // namespace pv
