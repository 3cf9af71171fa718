// The certificates of the TLS tests (tests/support/make_certs.sh), made once
// per test process in a scratch directory:
//   CertFile("ca.pem"), CertFile("server.pem"), CertFile("server.key") ...
// Names: ca, server (127.0.0.1 and localhost), other (mail.example.org),
// expired, future, selfsigned; each a .pem and a .key.
#pragma once

#include <cstdlib>
#include <string>

#include "tests/support/PeerProcess.h"

namespace pv::test {

// The directory with a trailing "/", or "" when the certificates could not
// be made (the test then fails with that).
inline const std::string &CertDir() {
    static TempDir dir;
    static const std::string path = [] {
        const std::string cmd = "'" + SupportPath("make_certs.sh") + "' '" + dir.Path() +
                                "certs' > '" + dir.Path() + "make_certs.log' 2>&1";
        return std::system(cmd.c_str()) == 0 ? dir.Path() + "certs/" : std::string();
    }();
    return path;
}

inline std::string CertFile(const std::string &name) {
    return CertDir() + name;
}

} // namespace pv::test
