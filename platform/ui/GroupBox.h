// A frame with a caption holding other controls; disabling it disables them.
#pragma once

#include "platform/ui/Control.h"

namespace pv {

class TGroupBox : public TControl {
  public:
    using TControl::TControl;
};

} // namespace pv
