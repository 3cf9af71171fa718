#include "platform/ui/Button.h"

#include "platform/ui/Form.h"

namespace pv {

void TButton::Click() {
    TControl::Click();
    // As on a modal dialog: the handler runs first, then the form closes.
    if (modalResult_ != mrNone)
        if (TForm *form = ParentForm())
            form->SetModalResult(modalResult_);
}

} // namespace pv
