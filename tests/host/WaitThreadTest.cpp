// The tray watch against real tray hosts: trayer on an Xvfb of the test's
// own, and a StatusNotifier watcher name on a private session bus.
#include <gtest/gtest.h>

#include <sys/eventfd.h>

#include "host/ServiceHelper.h"
#include "tests/support/Desktop.h"
#include "tests/support/LoopGuard.h"
#include "tests/support/PeerProcess.h"

namespace pv {
namespace {

using test::Desktop;
using test::LoopGuard;
using test::RunLoopFor;
using test::RunLoopUntil;

// The reports of one helper, in order.
struct Watcher {
    std::unique_ptr<TServiceHelper> helper;
    std::vector<std::string> reports;

    explicit Watcher(TTrayWatchPlace place) {
        helper = std::make_unique<TServiceHelper>(std::move(place));
        helper->OnTrayCreated = [this](TObject *) { reports.push_back("created"); };
        helper->OnTrayRemoved = [this](TObject *) { reports.push_back("removed"); };
    }
    bool WaitFor(std::size_t count, int ms = 5000) {
        return RunLoopUntil([&] { return reports.size() >= count; }, ms);
    }
    void End() {
        const int before = TWaitThread::LiveCount();
        helper.reset();
        EXPECT_TRUE(RunLoopUntil([&] { return TWaitThread::LiveCount() < before; }, 1000))
            << "the wait thread did not end with its helper";
    }
};

TEST(WaitThread, WithNowhereToLookItReportsNoTrayOnceAndEndsAtOnce) {
    LoopGuard guard;
    Watcher w{TTrayWatchPlace{}};
    ASSERT_TRUE(w.WaitFor(1));
    RunLoopFor(600);
    EXPECT_EQ(w.reports, (std::vector<std::string>{"removed"}));
    EXPECT_EQ(w.helper->TrayState(), tsAbsent);
    w.End();
}

TEST(WaitThread, TrayerKilledAndRestartedIsOneRemovalThenOneCreation) {
    LoopGuard guard(40);
    Desktop desk;
    if (std::string why; !desk.Start(why))
        GTEST_SKIP() << why;
    if (!test::HaveProgram("trayer"))
        GTEST_SKIP() << "trayer is not installed (Debian package trayer)";

    Watcher w{TTrayWatchPlace{desk.Display(), ""}};
    ASSERT_TRUE(w.WaitFor(1));
    EXPECT_EQ(w.reports, (std::vector<std::string>{"removed"})); // the first report, at once

    ASSERT_TRUE(desk.StartTrayer());
    ASSERT_TRUE(w.WaitFor(2));
    EXPECT_EQ(w.helper->TrayState(), tsPresent);
    desk.StopTrayer();
    ASSERT_TRUE(w.WaitFor(3));
    ASSERT_TRUE(desk.StartTrayer());
    ASSERT_TRUE(w.WaitFor(4));
    RunLoopFor(600); // nothing more comes
    EXPECT_EQ(w.reports, (std::vector<std::string>{"removed", "created", "removed", "created"}));

    // A tray present at start is reported at once; ending the helper while
    // the thread waits on the tray host ends the thread too.
    Watcher second{TTrayWatchPlace{desk.Display(), ""}};
    ASSERT_TRUE(second.WaitFor(1));
    EXPECT_EQ(second.reports, (std::vector<std::string>{"created"}));
    second.End();
    w.End();
}

TEST(WaitThread, TheXServerGoingAwayIsARemoval) {
    LoopGuard guard(40);
    auto desk = std::make_unique<Desktop>();
    if (std::string why; !desk->Start(why))
        GTEST_SKIP() << why;
    if (!test::HaveProgram("trayer"))
        GTEST_SKIP() << "trayer is not installed (Debian package trayer)";
    ASSERT_TRUE(desk->StartTrayer());
    Watcher w{TTrayWatchPlace{desk->Display(), ""}};
    ASSERT_TRUE(w.WaitFor(1));
    desk.reset();
    ASSERT_TRUE(w.WaitFor(2));
    EXPECT_EQ(w.reports, (std::vector<std::string>{"created", "removed"}));
    w.End();
}

TEST(WaitThread, AStatusNotifierWatcherOnTheSessionBusIsATray) {
    LoopGuard guard(40);
    if (!test::HaveProgram("dbus-daemon"))
        GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus-daemon)";
    if (std::system("/usr/bin/python3 -c 'import dbus' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-dbus is not installed";
    test::TempDir dir;
    const std::string address = "unix:path=" + dir / "bus";
    pid_t bus =
        test::Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address},
                    test::Environment({}));
    ASSERT_GT(bus, 0);
    for (int i = 0; i < 500 && access((dir / "bus").c_str(), F_OK) != 0; ++i)
        usleep(10000);

    Watcher w{TTrayWatchPlace{"", address}};
    ASSERT_TRUE(w.WaitFor(1));
    const std::vector<std::string> owner = {"/usr/bin/python3", "-c",
                                            "import dbus, sys, time\n"
                                            "bus = dbus.bus.BusConnection(sys.argv[1])\n"
                                            "bus.request_name('org.kde.StatusNotifierWatcher')\n"
                                            "time.sleep(60)\n",
                                            address};
    pid_t holder = test::Spawn(owner, test::Environment({}));
    ASSERT_TRUE(w.WaitFor(2, 10000));
    test::EndChild(holder);
    ASSERT_TRUE(w.WaitFor(3));
    RunLoopFor(400);
    EXPECT_EQ(w.reports, (std::vector<std::string>{"removed", "created", "removed"}));
    w.End();
    test::EndChild(bus);
}

} // namespace
} // namespace pv
