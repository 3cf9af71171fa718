#include "platform/ui/CheckBox.h"

namespace pv {

void TCheckBox::SetChecked(bool checked) {
    if (checked == checked_)
        return;
    checked_ = checked;
    Changed(TChange::Checked);
    if (OnClick)
        OnClick(this);
}

void TCheckBox::Click() {
    SetChecked(!checked_);
}

} // namespace pv
