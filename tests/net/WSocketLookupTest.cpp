// TWSocket lookups: dotted names at once, names from the hosts file later,
// cancelled and reverse lookups.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/net/WSocketFixture.h"

namespace pv {
namespace {

using test::ErrorOf;
using test::PumpFor;
using test::PumpUntil;
using test::Recorder;
using test::WSocketTest;

TEST_F(WSocketTest, DottedLookupCompletesInsideTheCall) {
    TWSocket s;
    int calls = 0;
    std::uint16_t err = 99;
    s.OnDnsLookupDone = [&](TObject *, std::uint16_t e) {
        ++calls;
        err = e;
    };
    s.DnsLookup("127.000.0.01");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"127.0.0.1"});

    // All ones is no usable dotted answer: it takes the asynchronous road.
    calls = 0;
    s.DnsLookup("255.255.255.255");
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(PumpUntil([&] { return calls == 1; }));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(s.DnsResult(), "255.255.255.255");

    EXPECT_EQ(ErrorOf([&] { s.DnsLookup(""); }), "DNS lookup: invalid host name.");
    // With OnError the call goes on and reports WSAEINVAL.
    int errors = 0;
    s.OnError = [&](TObject *) { ++errors; };
    calls = 0;
    s.DnsLookup("");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(err, WSAEINVAL);
}

TEST_F(WSocketTest, HostsFileNameCompletesLaterExactlyOnce) {
    TWSocket s;
    Recorder r;
    r.Attach(s);
    s.DnsLookup("localhost");
    EXPECT_TRUE(r.log.empty()); // never inside the call
    EXPECT_TRUE(PumpUntil([&] { return r.Has("dns 0"); }));
    PumpFor(200);
    EXPECT_EQ(r.log, std::vector<std::string>{"dns 0"});
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_EQ(WSAPendingAsyncRequests(), 0u);
}

TEST_F(WSocketTest, CancelledLookupReportsOnceAndDropsTheResult) {
    TWSocket s;
    Recorder r;
    r.Attach(s);
    s.DnsLookup("localhost");
    s.CancelDnsLookup();
    EXPECT_EQ(r.log, std::vector<std::string>{"dns 10004"});
    s.CancelDnsLookup(); // nothing pending: nothing happens
    // The worker finishes meanwhile; its result must not surface.
    PumpFor(500);
    EXPECT_EQ(r.log, std::vector<std::string>{"dns 10004"});
    EXPECT_TRUE(s.DnsResult().empty());
    EXPECT_EQ(WSAPendingAsyncRequests(), 0u);

    // A socket destroyed with its lookup pending reports nothing.
    {
        TWSocket gone;
        gone.OnDnsLookupDone = [&](TObject *, std::uint16_t) { r.log.push_back("gone"); };
        gone.DnsLookup("localhost");
    }
    PumpFor(200);
    EXPECT_EQ(r.Count("gone"), 0);
    EXPECT_EQ(WSAPendingAsyncRequests(), 0u);

    // A new lookup started while an old one runs reports only itself.
    s.DnsLookup("localhost");
    s.DnsLookup("localhost");
    EXPECT_TRUE(PumpUntil([&] { return r.Count("dns 0") == 1; }));
    PumpFor(300);
    EXPECT_EQ(r.Count("dns 0"), 1);
}

TEST_F(WSocketTest, ReverseLookupOfLoopback) {
    TWSocket s;
    Recorder r;
    r.Attach(s);
    s.ReverseDnsLookup("127.0.0.1");
    EXPECT_TRUE(PumpUntil([&] { return !r.log.empty(); }));
    EXPECT_EQ(r.log, std::vector<std::string>{"dns 0"});
    EXPECT_FALSE(s.DnsResult().empty());
    EXPECT_EQ(ErrorOf([&] { s.ReverseDnsLookup(""); }), "ReverseDnsLookup: Invalid host name.");
}

} // namespace
} // namespace pv
