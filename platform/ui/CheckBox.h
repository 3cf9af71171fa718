// A check box. OnClick is raised whenever the state changes, also when the
// program sets it.
#pragma once

#include "platform/ui/Control.h"

namespace pv {

class TCheckBox : public TControl {
  public:
    using TControl::TControl;
    bool CanHaveFocus() const override { return true; }

    bool Checked() const { return checked_; }
    void SetChecked(bool checked);
    // Toggles.
    void Click() override;

  private:
    bool checked_ = false;
};

} // namespace pv
