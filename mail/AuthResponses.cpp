#include "mail/AuthResponses.h"

#include "mail/Hmac.h"
#include "mail/Md5.h"
#include "mail/MimeUtils.h"
#include "platform/Text.h"

#include <algorithm>

namespace pv {

namespace {

std::string CramResponse(std::string_view Username, const std::string &Digest) {
    std::string response(Username);
    response += ' ';
    response += DigestToHex(Digest, false);
    return Base64EncodeText(response);
}

} // namespace

std::string AuthPlainCredentials(std::string_view Username, std::string_view FromName,
                                 std::string_view Password) {
    std::string text(Username);
    text += '\0';
    text += FromName.empty() ? Username : FromName;
    text += '\0';
    text += Password;
    return Base64EncodeText(text);
}

std::string CramMd5Response(std::string_view Challenge, std::string_view Username,
                            std::string_view Password) {
    return CramResponse(Username, HmacMd5(Base64DecodeText(Challenge), Password));
}

std::string CramSha1Response(std::string_view Challenge, std::string_view Username,
                             std::string_view Password) {
    return CramResponse(Username, HmacSha1(Base64DecodeText(Challenge), Password));
}

bool AddAuthMechanisms(std::vector<std::string> &Mechanisms, std::string_view ReplyLine) {
    // Past the reply code and its separator: "AUTH LOGIN PLAIN" or the older "AUTH=LOGIN".
    std::string t = UpperCase(Trim(std::string(ReplyLine)));
    t.erase(0, std::min<std::size_t>(4, t.size()));
    if (t.size() < 5 || t.compare(0, 4, "AUTH") != 0 || (t[4] != ' ' && t[4] != '='))
        return false;
    t.erase(0, 4);
    std::replace(t.begin(), t.end(), '=', ' ');
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = t.find(' ', start);
        const std::string piece = Trim(t.substr(start, end - start));
        if (std::find(Mechanisms.begin(), Mechanisms.end(), piece) == Mechanisms.end())
            Mechanisms.push_back(piece);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return true;
}

bool HasAuthMechanism(const std::vector<std::string> &Mechanisms, std::string_view Name) {
    return std::any_of(Mechanisms.begin(), Mechanisms.end(),
                       [&](const std::string &m) { return SameText(m, std::string(Name)); });
}

} // namespace pv
