// A push button (also the flat browse button).
#pragma once

#include "platform/ui/Control.h"

namespace pv {

class TButton : public TControl {
  public:
    using TControl::TControl;
    bool CanHaveFocus() const override { return focusable_; }
    // A speed button does not take the focus when clicked.
    void SetFocusable(bool focusable) { focusable_ = focusable; }

    // Clicking sets this on the button's form (mrNone: no effect).
    int ModalResult() const { return modalResult_; }
    void SetModalResult(int result) { modalResult_ = result; }
    void Click() override;

  private:
    bool focusable_ = true;
    int modalResult_ = 0;
};

} // namespace pv
