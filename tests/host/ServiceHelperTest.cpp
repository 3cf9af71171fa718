// The service switch, and what the session's end does with and without it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/ServiceHelper.h"
#include "host/Session.h"
#include "platform/Application.h"
#include "tests/support/LoopGuard.h"
#include "tests/support/PeerProcess.h"

namespace pv {
namespace {

using test::LoopGuard;
using test::RunLoopUntil;

TEST(ServiceSwitch, FoundAfterDashOrSlashEndedByNothingColonOrEquals) {
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"/SERVICE"},
             {"-service:x"},
             {"/service=1"},
             {"-Service"},
             {"first", "-services", "/service"}, // the first that counts wins
         })
        EXPECT_TRUE(FindServiceSwitch(args, "service")) << args.back();
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {},
             {"-servicex"},
             {"service"},
             {"--service"},
             {"-servic"},
             {"-serv:ice"},
         })
        EXPECT_FALSE(FindServiceSwitch(args, "service")) << (args.empty() ? "" : args[0]);
    EXPECT_FALSE(FindServiceSwitch({"-service", "/"}, ""));
    // Only the first 255 characters of an argument count.
    EXPECT_TRUE(FindServiceSwitch({"-" + std::string(254, 'x')}, std::string(254, 'x')));
    EXPECT_FALSE(FindServiceSwitch({"-" + std::string(255, 'x')}, std::string(255, 'x')));
}

struct SessionFixture : ::testing::Test {
    LoopGuard guard;
    TApplication app;
    TSession session{app};
    std::vector<std::string> events;

    // A helper with the given arguments whose start-up check has run.
    std::unique_ptr<TServiceHelper> Helper(std::vector<std::string> args, bool mode = true,
                                           std::string param = "service") {
        auto h = std::make_unique<TServiceHelper>(TTrayWatchPlace{}, session);
        h->CommandLine = std::move(args);
        h->ServiceMode = mode;
        h->ServiceParam = std::move(param);
        h->OnQueryEndSession = [this](TObject *) { events.push_back("query"); };
        h->OnEndSession = [this](TObject *) { events.push_back("end"); };
        bool reported = false;
        h->OnTrayRemoved = [&reported](TObject *) { reported = true; };
        // The check and the first tray report both arrive through the loop.
        EXPECT_TRUE(RunLoopUntil([&] { return reported; }, 5000));
        MSG msg; // the check, if the report came first
        while (PeekMessage(msg, true))
            DispatchMessage(msg);
        h->OnTrayRemoved = nullptr;
        return h;
    }
};

TEST_F(SessionFixture, ServiceModeAnswersTheQueryAndSurvivesTheEnd) {
    auto helper = Helper({"-x", "/SERVICE"});
    EXPECT_TRUE(helper->ServiceActive());
    EXPECT_TRUE(session.QueryEnd());
    session.End(true);
    session.End(false); // called off: handled the same way
    EXPECT_EQ(events, (std::vector<std::string>{"query", "end", "end"}));
    EXPECT_FALSE(app.Terminated());
}

TEST_F(SessionFixture, WithoutServiceModeTheSessionEndEndsTheProgram) {
    struct Case {
        std::vector<std::string> args;
        bool mode;
        std::string param;
    };
    for (const Case &c : {Case{{"-servicex"}, true, "service"},
                          Case{{"/service"}, false, "service"}, Case{{"/service"}, true, ""}}) {
        auto helper = Helper(c.args, c.mode, c.param);
        EXPECT_FALSE(helper->ServiceActive());
        EXPECT_TRUE(session.QueryEnd());
        session.End(false);
        EXPECT_FALSE(app.Terminated());
    }
    auto helper = Helper({});
    session.End(true);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(app.Terminated());
}

TEST_F(SessionFixture, AWindowThatRefusesStopsTheQueryAndTheOnesAfterIt) {
    std::vector<int> asked;
    auto window = [&asked](int id, LRESULT answer) {
        return CreateWindow([&asked, id, answer](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
            if (m != WM_QUERYENDSESSION)
                return DefWindowProc(h, m, w, l);
            asked.push_back(id);
            return answer;
        });
    };
    HWND first = window(1, 1), refuses = window(2, 0), last = window(3, 1);
    for (HWND w : {first, refuses, last})
        session.AddWindow(w);
    EXPECT_FALSE(session.QueryEnd());
    EXPECT_EQ(asked, (std::vector<int>{1, 2}));
    session.RemoveWindow(refuses);
    EXPECT_TRUE(session.QueryEnd());
    for (HWND w : {first, refuses, last})
        DestroyWindow(w);
}

} // namespace
} // namespace pv
