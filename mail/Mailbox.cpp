#include "mail/Mailbox.h"

#include "platform/Text.h"

namespace pv {

void SplitAddress(std::string_view Text, std::string &Name, std::string &Address) {
    Name.clear();
    Address.clear();
    const auto trim = [](std::string_view s) { return Trim(std::string(s)); };
    std::size_t start = 0;
    while (start < Text.size() && Text[start] == ' ')
        ++start;
    const std::string_view rest = Text.substr(start);
    if (rest.empty())
        return;
    const bool hasAngle = Text.find('<') != std::string_view::npos;
    const auto bracketed = [&](std::size_t from) {
        const std::size_t lt = Text.find('<', from);
        if (lt == std::string_view::npos)
            return std::string();
        const std::size_t gt = Text.find('>', lt + 1);
        return std::string(Text.substr(lt + 1, gt == std::string_view::npos ? gt : gt - lt - 1));
    };
    if (rest[0] == '"' || rest[0] == '\'') {
        const std::size_t close = rest.find(rest[0], 1);
        Name = std::string(rest.substr(1, close == std::string_view::npos ? close : close - 1));
        const std::size_t after = close == std::string_view::npos ? rest.size() : close + 1;
        if (hasAngle) {
            // A quote that never closes holds the whole text, brackets too.
            Address = bracketed(close == std::string_view::npos ? 0 : start + after);
        } else
            Address = trim(rest.substr(after));
    } else if (hasAngle) {
        const std::size_t lt = Text.find('<');
        Name = trim(Text.substr(0, lt));
        Address = bracketed(0);
    } else {
        const std::size_t space = rest.find(' ');
        Name = trim(rest.substr(0, space));
        if (space != std::string_view::npos)
            Address = trim(rest.substr(space + 1));
    }
    if (Address.empty() && Name.find('@') != std::string::npos) {
        Address = Name;
        Name.clear();
    }
}

TAddressParts SplitAddress(std::string_view Text) {
    TAddressParts parts;
    SplitAddress(Text, parts.Name, parts.Address);
    return parts;
}

} // namespace pv
