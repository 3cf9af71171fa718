// The root of the component classes and of their exceptions.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace pv {

// Events of every component carry their sender as a TObject*.
class TObject {
  public:
    virtual ~TObject() = default;
};

// The plain event: something happened to Sender.
using TNotifyEvent = std::function<void(TObject *Sender)>;

// The general exception class. ClassName() is what the application-wide
// handler logs before the message ("ESocketException: ...").
class Exception : public std::runtime_error {
  public:
    explicit Exception(const std::string &message) : std::runtime_error(message) {}
    virtual const char *ClassName() const { return "Exception"; }
    std::string Message() const { return what(); }
};

// The silent cancel: leaves the current handler without being reported.
class EAbort : public Exception {
  public:
    EAbort() : Exception("Operation aborted") {}
    const char *ClassName() const override { return "EAbort"; }
};

} // namespace pv
