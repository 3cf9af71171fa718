// A number field with a range. Values outside [MinValue, MaxValue] are
// clamped, unless both bounds are equal (no range).
#pragma once

#include "platform/ui/Control.h"

namespace pv {

class TSpinEdit : public TControl {
  public:
    using TControl::TControl;
    bool CanHaveFocus() const override { return true; }

    int Value() const { return value_; }
    void SetValue(int value);
    int MinValue() const { return min_; }
    int MaxValue() const { return max_; }
    // Re-clamps the current value.
    void SetMinValue(int v);
    void SetMaxValue(int v);
    int Increment() const { return increment_; }
    void SetIncrement(int v) { increment_ = v; }

    // The value as decimal text; setting parses it (garbage gives MinValue).
    std::string Text() const override;
    void SetText(const std::string &text) override;
    bool UserSetText(const std::string &text) override;

    TNotifyEvent OnChange; // the value changed

  private:
    int Clamp(int v) const;
    int value_ = 0;
    int min_ = 0;
    int max_ = 0;
    int increment_ = 1;
};

} // namespace pv
