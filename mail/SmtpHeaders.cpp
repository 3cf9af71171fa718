#include "mail/SmtpHeaders.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "mail/Mailbox.h"
#include "mail/MimeUtils.h"
#include "platform/Text.h"
#include "platform/TimeFormat.h"

namespace pv {

namespace {

std::string TrimText(std::string_view s) {
    return Trim(std::string(s));
}

} // namespace

void AddAddressHeader(std::vector<std::string> &Lines, const std::string &Label,
                      const std::string &Value, bool Fold, bool Allow8bit,
                      const std::string &CharSet, char EncType) {
    std::string result;
    int position = 1;
    while (position >= 1 && position <= static_cast<int>(Value.size())) {
        const int before = position;
        std::string item = NextWrappedLine(Value, "\r\n", ",;", "\"'", 1, position);
        if (position <= before)
            break; // never loop without advancing
        std::size_t b = item.find_first_not_of("\t ");
        item = b == std::string::npos ? std::string() : item.substr(b);
        while (!item.empty() && (item.back() == ',' || item.back() == ';'))
            item.pop_back();
        if (item.empty())
            continue;
        std::string name, address;
        SplitAddress(item, name, address);
        if (name.empty()) {
            result += address + ",";
            continue;
        }
        if (Allow8bit || !RequiresEncoding(name)) {
            std::string quoted = "\"";
            for (char c : name) {
                if (c == '"' || c == '\\')
                    quoted += '\\';
                quoted += c;
            }
            name = quoted + "\"";
        } else {
            name = HdrEncodeInLine(name, HdrSpecialChars, EncType, Fold,
                                   76 - static_cast<int>(Label.size()), CharSet);
        }
        result += name + " <" + address + ">,";
    }
    while (!result.empty() && result.back() == ',')
        result.pop_back();
    const std::string line = TrimText(Label) + " " + TrimText(result);
    if (Fold && line.size() > 76)
        AddFoldedHeader(Lines, line);
    else
        Lines.push_back(line);
}

std::string MailDateText() {
    static const char *const dayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const monthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const TLocalTime local = DecodeLocal(Now());
    // The local fields plus the bias (UTC minus local, in minutes) give GMT.
    const long biasMinutes = -local.UtcOffsetSeconds / 60;
    using namespace std::chrono;
    const sys_days localDay =
        year_month_day{year(local.Year), month(static_cast<unsigned>(local.Month)),
                       day(static_cast<unsigned>(local.Day))};
    const auto gmt =
        localDay + hours(local.Hour) + minutes(local.Minute + biasMinutes) + seconds(local.Second);
    const sys_days gmtDay = floor<days>(gmt);
    const year_month_day ymd(gmtDay);
    const hh_mm_ss<seconds> tod(duration_cast<seconds>(gmt - gmtDay));
    const unsigned weekday = std::chrono::weekday(gmtDay).c_encoding();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %d %s %4d %02d:%02d:%02d GMT", dayNames[weekday],
                  static_cast<int>(static_cast<unsigned>(ymd.day())),
                  monthNames[static_cast<unsigned>(ymd.month()) - 1], static_cast<int>(ymd.year()),
                  static_cast<int>(tod.hours().count()), static_cast<int>(tod.minutes().count()),
                  static_cast<int>(tod.seconds().count()));
    return buf;
}

bool IsSendableHeaderLine(std::string_view Line, bool FieldsAllowed) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t brk = Line.find_first_of("\r\n", start);
        if (brk == std::string_view::npos)
            return true;
        if (Line[brk] != '\r' || brk + 1 >= Line.size() || Line[brk + 1] != '\n')
            return false; // a bare CR or LF
        start = brk + 2;
        const std::size_t end = std::min(Line.find_first_of("\r\n", start), Line.size());
        const std::string_view next = Line.substr(start, end - start);
        if (next.empty())
            return false; // an empty line would end the header
        if (next[0] == ' ' || next[0] == '\t') {
            if (next.find_first_not_of(" \t") == std::string_view::npos)
                return false;
            continue;
        }
        // Field names are printable characters but ":".
        const std::size_t colon = next.find(':');
        if (!FieldsAllowed || colon == 0 || colon == std::string_view::npos)
            return false;
        for (char c : next.substr(0, colon))
            if (c <= ' ' || c > '~')
                return false;
    }
}

std::string ShowControls(std::string_view Text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : Text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (u < ' ' || u == 0x7f) {
            out += "\\x";
            out += digits[u >> 4];
            out += digits[u & 0x0f];
        } else
            out += c;
    }
    return out;
}

} // namespace pv
