// Mailbox texts split into display name and address.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "mail/Mailbox.h"

namespace pv::test {
namespace {

std::pair<std::string, std::string> Split(const std::string &text) {
    std::pair<std::string, std::string> r;
    SplitAddress(text, r.first, r.second);
    return r;
}

using NA = std::pair<std::string, std::string>;

TEST(SmtpAddresses, SplitAddress) {
    EXPECT_EQ(Split("Joe Bloggs <joe@x.org>"), (NA{"Joe Bloggs", "joe@x.org"}));
    EXPECT_EQ(Split("  \"Bloggs, Joe\" <joe@x.org>"), (NA{"Bloggs, Joe", "joe@x.org"}));
    EXPECT_EQ(Split("'Joe' joe@x.org"), (NA{"Joe", "joe@x.org"}));
    EXPECT_EQ(Split("joe@x.org"), (NA{"", "joe@x.org"}));
    EXPECT_EQ(Split("<joe@x.org"), (NA{"", "joe@x.org"}));
    EXPECT_EQ(Split("joe@x.org Joe"), (NA{"joe@x.org", "Joe"}));
    EXPECT_EQ(Split("   "), (NA{"", ""}));
    EXPECT_EQ(Split("\"unclosed <a@b>"), (NA{"unclosed <a@b>", "a@b"}));
}

} // namespace
} // namespace pv::test
