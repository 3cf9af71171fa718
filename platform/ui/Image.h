// A picture, given by the path of its image file.
#pragma once

#include <string>

#include "platform/ui/Control.h"

namespace pv {

class TImage : public TControl {
  public:
    using TControl::TControl;
    const std::string &Picture() const { return picture_; }
    void SetPicture(const std::string &path);

  private:
    std::string picture_;
};

} // namespace pv
