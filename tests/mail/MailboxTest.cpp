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

TEST(Mailbox, TheFormsPeopleType) {
    // What the settings and the job read from the sender and recipient fields.
    struct Case {
        const char *text, *name, *address;
    } cases[] = {
        {"  John Doe  <john@x.org> ", "John Doe", "john@x.org"},
        {"John   john@x.org  ", "John", "john@x.org"},
        {"\"Al\" <al@x", "Al", "al@x"},
        {"\"a@b\"", "", "a@b"},
        {"\"unterminated", "unterminated", ""},
        {"\"x<y\" z@w", "x<y", ""}, // a "<" only inside the quotes gives no address
        {"'x<y' <z@w>", "x<y", "z@w"},
        {"word", "word", ""},
        {"\" Jane \" < jane@x.org >", " Jane ", " jane@x.org "},
    };
    for (const Case &c : cases) {
        const TAddressParts parts = SplitAddress(c.text);
        EXPECT_EQ(parts.Name, c.name) << c.text;
        EXPECT_EQ(parts.Address, c.address) << c.text;
    }
}

} // namespace
} // namespace pv::test
