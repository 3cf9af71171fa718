// The exception of the ZIP packer: a message and nothing else.
#pragma once

#include "platform/Object.h"

namespace pv {

class ZipException : public Exception {
  public:
    explicit ZipException(const std::string &message) : Exception(message) {}
    const char *ClassName() const override { return "ZipException"; }
};

} // namespace pv
