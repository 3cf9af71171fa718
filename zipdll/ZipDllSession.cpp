#include "zipdll/ZipDllSession.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace zipdll {

namespace {

// The caller's Cancel reaches us within this time even while nothing else
// is reported.
constexpr auto kKeepAliveInterval = std::chrono::milliseconds(50);

// Sizes beyond the record's 32-bit number are reported as its largest value.
std::int32_t Saturate(std::int64_t n) {
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(n, 0, std::numeric_limits<std::int32_t>::max()));
}

} // namespace

TSession::TSession(const TZipExecParams &params)
    : callback_(params.Callback), caller_(params.Caller), trace_(params.Trace != 0),
      lastCall_(std::chrono::steady_clock::now()) {}

bool TSession::Report(std::int32_t code, std::int64_t number, const std::string &text) {
    if (stopped_)
        return false;
    lastCall_ = std::chrono::steady_clock::now();
    if (!callback_)
        return true;
    TZipCallbackInfo info;
    std::memset(&info, 0, sizeof info);
    info.Caller = caller_;
    info.ActionCode = code;
    info.Number = Saturate(number);
    std::memcpy(info.Text, text.data(), std::min(text.size(), sizeof info.Text - 1));
    if (callback_(&info) == -1)
        stopped_ = true;
    return !stopped_;
}

void TSession::Message(const std::string &text) {
    // A message never stops the work by itself; the answer is seen by the
    // next report.
    bool wasStopped = stopped_;
    stopped_ = false;
    bool go = Report(zacMessage, 0, text);
    stopped_ = wasStopped || !go;
}

void TSession::Detail(const std::string &text) {
    if (trace_)
        Message(text);
}

bool TSession::KeepAlive() {
    if (stopped_)
        return false;
    if (std::chrono::steady_clock::now() - lastCall_ < kKeepAliveInterval)
        return true;
    return Report(zacNone);
}

} // namespace zipdll
