#include "platform/ui/SpinEdit.h"

#include "platform/Text.h"

namespace pv {

int TSpinEdit::Clamp(int v) const {
    if (min_ == max_)
        return v;
    if (v < min_)
        return min_;
    if (v > max_)
        return max_;
    return v;
}

void TSpinEdit::SetValue(int value) {
    value = Clamp(value);
    if (value == value_)
        return;
    value_ = value;
    Changed(TChange::Value);
    if (OnChange)
        OnChange(this);
}

void TSpinEdit::SetMinValue(int v) {
    min_ = v;
    Changed(TChange::Range);
    SetValue(value_);
}

void TSpinEdit::SetMaxValue(int v) {
    max_ = v;
    Changed(TChange::Range);
    SetValue(value_);
}

std::string TSpinEdit::Text() const {
    return IntToStr(value_);
}

void TSpinEdit::SetText(const std::string &text) {
    SetValue(StrToIntDef(text, min_));
}

bool TSpinEdit::UserSetText(const std::string &text) {
    if (!EffectivelyEnabled() || !Showing() || !TakeFocusForUser())
        return false;
    SetText(text);
    return true;
}

} // namespace pv
