// Mailbox texts as people type them: a display name and an address.
#pragma once

#include <string>
#include <string_view>

namespace pv {

// The display name and address of a mailbox text such as
// "Joe Bloggs" <joe@example.org>, Joe <joe@example.org> or joe@example.org.
void SplitAddress(std::string_view Text, std::string &Name, std::string &Address);

} // namespace pv
