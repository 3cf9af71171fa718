// A real SOCKS proxy on 127.0.0.1 for a test: tests/support/socks_proxy.py
// starts microsocks, danted (with a configuration of its own in a temporary
// directory) or python3-twisted's SOCKS 4/4A server on a free high port.
//
//   SocksProxy proxy;
//   if (proxy.Start({"microsocks", "--user", "u", "--password", "p"}) == SocksProxy::Missing)
//       GTEST_SKIP() << proxy.Why();
//   socket.SetSocksPort(proxy.Port());
#pragma once

#include <string>
#include <vector>

#include "tests/support/PeerProcess.h"

namespace pv::test {

class SocksProxy {
  public:
    enum Status { Started, Missing, Failed };

    // Arguments of socks_proxy.py: the kind first, then its options.
    Status Start(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {"/usr/bin/python3", SupportPath("socks_proxy.py")};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!args.empty() && args[0] == "danted") {
            argv.push_back("--dir");
            argv.push_back(dir_.Path());
        }
        if (peer_.Start(argv))
            return Started;
        why_ = peer_.ErrorLog();
        return peer_.Wait(5000) == 77 ? Missing : Failed;
    }

    std::string Port() const { return std::to_string(peer_.Port()); }
    // Why it did not start.
    const std::string &Why() const { return why_; }
    // danted's own log (its configuration sends it there).
    std::string DantedLog() const { return ReadFileText(dir_ / "danted.log"); }

  private:
    TempDir dir_;
    PeerProcess peer_;
    std::string why_;
};

} // namespace pv::test
