// The front end's window onto the model: one observer for the whole process
// that hears of every change of every control and of every control that goes
// away, so a renderer can keep widgets in step without wiring each control.
#pragma once

#include "platform/ui/Control.h"

namespace pv {

class TViewObserver {
  public:
    virtual ~TViewObserver() = default;
    // After every change of the model (also of controls no form shows yet).
    virtual void ControlChanged(TControl *control, TChange what) = 0;
    // From the control's destructor: the object is no longer what it was (its
    // derived parts are gone), so the pointer may only serve as a key.
    virtual void ControlDestroyed(TControl *control) = 0;
};

// Installs the observer (nullptr: none) and returns the previous one. Not owned.
TViewObserver *SetViewObserver(TViewObserver *observer);
TViewObserver *ViewObserver();

} // namespace pv
