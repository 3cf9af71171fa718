// The client's side of the SMTP AUTH exchanges, as texts ready to send, and
// the reading of the mechanisms a server offers in its EHLO reply.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pv {

// The credentials after "AUTH PLAIN ": Base64 of user, NUL, (FromName or,
// when empty, user), NUL, password.
std::string AuthPlainCredentials(std::string_view Username, std::string_view FromName,
                                 std::string_view Password);

// Base64 of user + " " + the lower-case hex HMAC of the decoded challenge
// keyed with the password. Challenge is the Base64 text after "334 ".
std::string CramMd5Response(std::string_view Challenge, std::string_view Username,
                            std::string_view Password);
std::string CramSha1Response(std::string_view Challenge, std::string_view Username,
                             std::string_view Password);

// Reads one EHLO reply line ("250-AUTH LOGIN PLAIN", "250 AUTH=LOGIN"):
// when it lists mechanisms, adds each (upper case) that Mechanisms does not
// already hold and returns true. The pieces between adjacent separators are
// kept as empty entries, which match no mechanism.
bool AddAuthMechanisms(std::vector<std::string> &Mechanisms, std::string_view ReplyLine);
// Case-insensitive lookup in such a list.
bool HasAuthMechanism(const std::vector<std::string> &Mechanisms, std::string_view Name);

} // namespace pv
