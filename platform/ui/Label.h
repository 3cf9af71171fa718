// A static text.
#pragma once

#include "platform/ui/Control.h"

namespace pv {

class TLabel : public TControl {
  public:
    using TControl::TControl;
};

} // namespace pv
