// One call of the library as its caller sees it: the callback with its
// messages, progress and the caller's answer to stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "zipdll/ZipDllApi.h"

namespace zipdll {

class TSession {
  public:
    explicit TSession(const TZipExecParams &params);

    // Calls the caller's callback. False when the caller asked to stop, now or
    // before: from then on the operation only winds down.
    bool Report(std::int32_t code, std::int64_t number = 0, const std::string &text = {});
    // A message for the caller's trace; the last one is also kept as the
    // reason of a failure.
    void Message(const std::string &text);
    // Detail only wanted with tracing on.
    void Detail(const std::string &text);
    // Lets the caller run its messages (and answer stop) during long work
    // that has nothing to report, at most every few tens of milliseconds.
    bool KeepAlive();

    bool Stopped() const { return stopped_; }

  private:
    TZipCallback callback_;
    void *caller_;
    bool trace_;
    bool stopped_ = false;
    std::chrono::steady_clock::time_point lastCall_;
};

} // namespace zipdll
