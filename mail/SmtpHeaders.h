// Pieces of the header that the SMTP client builds for a message: address
// headers and the Date text.
#pragma once

#include <string>
#include <string_view>
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

// Whether a header entry may be sent as it stands. A line break is allowed
// only as CR LF followed by a fold (a blank, then more than blanks) or, with
// FieldsAllowed, by a further "Name:" field; a bare CR or LF, an empty line
// and a break at the end never are.
bool IsSendableHeaderLine(std::string_view Line, bool FieldsAllowed);

// The text with its control characters made visible, for error texts and
// logs: CR as \r, LF as \n, TAB as \t, the others as \xNN.
std::string ShowControls(std::string_view Text);

} // namespace pv
