// Mailbox texts as people type them: a display name and an address.
#pragma once

#include <string>
#include <string_view>

namespace pv {

// The display name and address of a mailbox text such as
// "Joe Bloggs" <joe@example.org>, Joe <joe@example.org> or joe@example.org.
// A quote that never closes takes the rest of the text as the name; an
// address in angle brackets after it is still found.
void SplitAddress(std::string_view Text, std::string &Name, std::string &Address);

struct TAddressParts {
    std::string Name;
    std::string Address;
};
TAddressParts SplitAddress(std::string_view Text);

} // namespace pv
