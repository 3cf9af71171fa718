// Pieces of the header that the SMTP client builds for a message: address
// headers and the Date text.
#pragma once

#include <string>
#include <vector>

namespace pv {

// Appends one address header ("To:", "Cc:", ...) to Lines: the items of Value
// (split at "," and ";" outside quotes) joined by ",", display names quoted or
// turned into encoded words, folded at 76 columns when Fold is on.
void AddAddressHeader(std::vector<std::string> &Lines, const std::string &Label,
                      const std::string &Value, bool Fold, bool Allow8bit,
                      const std::string &CharSet, char EncType);

// The current time in GMT for the Date header: "Tue, 8 Dec 2026 04:55:10 GMT".
std::string MailDateText();

} // namespace pv
